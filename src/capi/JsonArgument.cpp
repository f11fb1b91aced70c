#include "capi/JsonArgument.hpp"

#include <kelvor/Log.hpp>

namespace kelvor {

kelvor_status JsonArgument::parseObject(const char* function, const char* text, bool optional,
                                        Json& object) {
  object = Json::object();
  if (text == nullptr) {
    if (optional) return KELVOR_OK;
    Log::error(std::string(function) + " - the JSON text is NULL; nothing was done");
    return KELVOR_E_INVALID_ARGUMENT;
  }
  try {
    object = Json::parse(text);
  } catch (const Json::parse_error& error) {
    // Only the position: the parser's own words quote the text, which may hold an identity.
    object = Json::object();
    Log::error(std::string(function) + " - the text is not valid JSON (error at byte " +
               std::to_string(error.byte) + "); nothing was done");
    return KELVOR_E_INVALID_JSON;
  }
  if (!object.is_object()) {
    Log::error(std::string(function) + " - expects a JSON object, not " + object.type_name() +
               "; nothing was done");
    object = Json::object();
    return KELVOR_E_INVALID_ARGUMENT;
  }
  return KELVOR_OK;
}

}  // namespace kelvor
