#include "support/CompactWriter.hpp"

#include <algorithm>

namespace kelvor {
namespace {

using JsonWriter = nlohmann::detail::serializer<Json>;

// Printable ASCII without a quote or a backslash is written as it is; every other text goes
// through the JSON writer.
bool plainText(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\';
  });
}

// The same bytes as render(): objects, arrays and plain texts are written here, which spares
// the writer's escaping walk over every byte of the common case; numbers, literals and texts
// that need escaping are the writer's.
void writeCompact(const Json& value, std::string& out, JsonWriter& writer) {
  switch (value.type()) {
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = value.cbegin(); it != value.cend(); ++it) {
        if (!first) out += ',';
        first = false;
        const std::string& key = it.key();
        if (plainText(key)) {
          out += '"';
          out += key;
          out += '"';
        } else {
          writer.dump(Json(key), false, false, 0);
        }
        out += ':';
        writeCompact(it.value(), out, writer);
      }
      out += '}';
      return;
    }
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& item : value) {
        if (!first) out += ',';
        first = false;
        writeCompact(item, out, writer);
      }
      out += ']';
      return;
    }
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      if (plainText(text)) {
        out += '"';
        out += text;
        out += '"';
        return;
      }
      break;
    }
    default:
      break;
  }
  writer.dump(value, false, false, 0);
}

}  // namespace

std::string CompactWriter::write(const Json& value) {
  std::string text;
  write(value, text);
  return text;
}

void CompactWriter::write(const Json& value, std::string& text) {
  constexpr size_t keptCapacity = 64 * 1024;
  thread_local std::string buffer;
  thread_local JsonWriter writer(nlohmann::detail::output_adapter<char, std::string>(buffer), ' ',
                                 Json::error_handler_t::replace);
  // A buffer left large by a rare large map is let go.
  buffer.clear();
  writeCompact(value, buffer, writer);
  text.assign(buffer);
  if (buffer.capacity() > keptCapacity) std::string().swap(buffer);
}

}  // namespace kelvor
