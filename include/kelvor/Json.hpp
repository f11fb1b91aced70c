#pragma once

#include <nlohmann/json.hpp>

#include <kelvor/version.hpp>

// Json values cross the library's API, so the host must see the same nlohmann::json as the
// library did when it was built: a mismatch would only show later, as link errors or corruption.
#if NLOHMANN_JSON_VERSION_MAJOR != KELVOR_NLOHMANN_JSON_VERSION_MAJOR || \
    NLOHMANN_JSON_VERSION_MINOR != KELVOR_NLOHMANN_JSON_VERSION_MINOR || \
    NLOHMANN_JSON_VERSION_PATCH != KELVOR_NLOHMANN_JSON_VERSION_PATCH
#error \
    "KelvorQuorvel was built with another nlohmann/json version: compile against the one named by KELVOR_NLOHMANN_JSON_VERSION_STRING in kelvor/version.hpp"
#endif
#if (defined(JSON_DIAGNOSTICS) && JSON_DIAGNOSTICS) != KELVOR_JSON_DIAGNOSTICS
#if KELVOR_JSON_DIAGNOSTICS
#error "KelvorQuorvel was built with JSON_DIAGNOSTICS=1: define JSON_DIAGNOSTICS=1 here too"
#else
#error \
    "KelvorQuorvel was built without JSON_DIAGNOSTICS: do not define JSON_DIAGNOSTICS=1 when including it"
#endif
#endif

namespace kelvor {

// A JSON-compatible value: text, numbers, booleans, arrays and objects.
using Json = nlohmann::json;
// A dictionary from text keys to JSON-compatible values; always a JSON object.
using StringMap = Json;

}  // namespace kelvor
