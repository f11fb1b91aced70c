#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvor::fuzz {

// Each boundary where outside data enters the library, as one fuzz target. Built into a
// libFuzzer program each (make fuzz) and into the replay test of make test.
int properties(const uint8_t* data, size_t size);        // maps as the host hands them over
int identities(const uint8_t* data, size_t size);        // e-mail, login id and phone texts
int tcf(const uint8_t* data, size_t size);               // IABTCF_* values of a CMP
int preferenceFile(const uint8_t* data, size_t size);    // preference files on disk
int storeRows(const uint8_t* data, size_t size);         // rows of a damaged or foreign store
int endpointAnswer(const uint8_t* data, size_t size);    // what the endpoint answers
int collectorRequest(const uint8_t* data, size_t size);  // what quorvel-collector receives

struct Target {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};

inline constexpr Target targets[] = {
    {"properties", properties},
    {"identities", identities},
    {"tcf", tcf},
    {"preference_file", preferenceFile},
    {"store_rows", storeRows},
    {"endpoint_answer", endpointAnswer},
    {"collector_request", collectorRequest},
};

}  // namespace kelvor::fuzz
