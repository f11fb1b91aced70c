#pragma once

#include <nlohmann/json.hpp>

namespace kelvor {

// A JSON-compatible value: text, numbers, booleans, arrays and objects.
using Json = nlohmann::json;
// A dictionary from text keys to JSON-compatible values; always a JSON object.
using StringMap = Json;

}  // namespace kelvor
