#include <kelvor/APIErrors.hpp>

namespace kelvor {

std::optional<APIErrors::Code> APIErrors::codeFromRawValue(int raw) {
  if (raw < 0 || raw > static_cast<int>(Code::serverDownError)) return std::nullopt;
  return static_cast<Code>(raw);
}

}  // namespace kelvor
