#include "identity/CaseMapping.hpp"

#include <unicode/ustring.h>

#include <vector>

namespace kelvor {
namespace {

using Mapper = int32_t (*)(UChar*, int32_t, const UChar*, int32_t, const char*, UErrorCode*);

std::string map(const std::string& text, Mapper mapper) {
  if (text.empty()) return text;
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = 0;
  u_strFromUTF8(nullptr, 0, &units, text.data(), static_cast<int32_t>(text.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return text;
  std::vector<UChar> source(static_cast<size_t>(units) + 1);
  status = U_ZERO_ERROR;
  u_strFromUTF8(source.data(), units + 1, nullptr, text.data(), static_cast<int32_t>(text.size()),
                &status);
  if (U_FAILURE(status)) return text;

  // A full mapping may grow the text (one code point can become three).
  std::vector<UChar> mapped(static_cast<size_t>(units) * 3 + 1);
  status = U_ZERO_ERROR;
  int32_t mappedUnits =
      mapper(mapped.data(), static_cast<int32_t>(mapped.size()), source.data(), units, "", &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    mapped.resize(static_cast<size_t>(mappedUnits) + 1);
    status = U_ZERO_ERROR;
    mappedUnits = mapper(mapped.data(), static_cast<int32_t>(mapped.size()), source.data(), units,
                         "", &status);
  }
  if (U_FAILURE(status)) return text;

  int32_t bytes = 0;
  status = U_ZERO_ERROR;
  u_strToUTF8(nullptr, 0, &bytes, mapped.data(), mappedUnits, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return text;
  std::string out(static_cast<size_t>(bytes), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), bytes, nullptr, mapped.data(), mappedUnits, &status);
  return U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING ? text : out;
}

}  // namespace

std::string CaseMapping::upper(const std::string& text) {
  return map(text, u_strToUpper);
}

std::string CaseMapping::lower(const std::string& text) {
  return map(text, u_strToLower);
}

}  // namespace kelvor
