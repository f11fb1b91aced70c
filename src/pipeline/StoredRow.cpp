#include "pipeline/StoredRow.hpp"

#include <kelvor/Json.hpp>

#include "pipeline/Events.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

// Deeper than any event the library accepts (64 levels of properties inside the event object).
constexpr size_t kMaxStoredDepth = 80;

// Checks a column without building its value: a JSON object, nesting within bounds, and whether
// its top level holds "eventName" as text. The parser walks the text with its own stack, so a
// hostile column cannot exhaust the thread's.
class ColumnCheck : public nlohmann::json_sax<Json> {
 public:
  bool isObject = false;
  bool hasEventName = false;
  bool empty = true;

  bool null() override { return value(false); }
  bool boolean(bool) override { return value(false); }
  bool number_integer(number_integer_t) override { return value(false); }
  bool number_unsigned(number_unsigned_t) override { return value(false); }
  bool number_float(number_float_t, const string_t&) override { return value(false); }
  bool string(string_t&) override { return value(true); }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    if (depth_ == 0) isObject = true;
    value(false);
    return ++depth_ <= kMaxStoredDepth;
  }
  bool key(string_t& key) override {
    if (depth_ == 1) {
      empty = false;
      topKeyIsEventName_ = key == "eventName";
    }
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    value(false);
    return ++depth_ <= kMaxStoredDepth;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool value(bool isText) {
    if (depth_ == 1 && topKeyIsEventName_) hasEventName = isText;
    topKeyIsEventName_ = false;
    return true;
  }
  size_t depth_ = 0;
  bool topKeyIsEventName_ = false;
};

bool check(const std::string& text, ColumnCheck& result) {
  if (text.empty() || text.front() != '{') return false;
  // The parser takes a NUL byte for the end of its input; spliced, the rest would follow.
  if (text.find('\0') != std::string::npos) return false;
  return Json::sax_parse(text, &result, nlohmann::detail::input_format_t::json, true, false) &&
         result.isObject;
}

const std::shared_ptr<const std::string>& emptyObject() {
  static const auto* text =
      new std::shared_ptr<const std::string>(std::make_shared<const std::string>("{}"));
  return *text;
}

}  // namespace

std::shared_ptr<const std::string> StoredRow::text(std::string value) {
  return std::make_shared<const std::string>(std::move(value));
}

StoredRow StoredRow::fromRecord(const Events& record) {
  StoredRow row;
  row.eventUUID = record.eventUUID;
  // Invalid UTF-8 is replaced rather than losing the whole column.
  row.event = render(record.event);
  row.page = text(render(record.page ? *record.page : Json::object()));
  row.user = text(render(record.user));
  row.version = record.version;
  return row;
}

size_t StoredRow::storedSize() const {
  return eventUUID.size() + event.size() + (page ? page->size() : 0) + (user ? user->size() : 0) +
         version.size();
}

bool StoredRow::decode() {
  if (eventUUID.empty()) return false;
  ColumnCheck eventCheck;
  if (!check(event, eventCheck) || !eventCheck.hasEventName) return false;
  // A page or user column that is missing or holds anything but an object reads as the empty
  // object: the event itself still goes.
  ColumnCheck pageCheck;
  if (!page || !check(*page, pageCheck) || pageCheck.empty) page = emptyObject();
  ColumnCheck userCheck;
  if (!user || !check(*user, userCheck)) user = emptyObject();
  return true;
}

EventTexts StoredRow::texts() const {
  return {eventUUID, event, page ? std::string_view(*page) : std::string_view(),
          user ? std::string_view(*user) : std::string_view(), version};
}

size_t StoredRow::wireSize() const {
  return storedSize() + 64;
}

Events StoredRow::toRecord() const {
  Events record;
  record.eventUUID = eventUUID;
  auto parse = [](const std::string* text) {
    if (text == nullptr) return Json::object();
    Json value = Json::parse(*text, nullptr, false);
    return value.is_object() ? value : Json::object();
  };
  record.event = parse(&event);
  record.page = parse(page.get());
  record.user = parse(user.get());
  record.version = version;
  return record;
}

}  // namespace kelvor
