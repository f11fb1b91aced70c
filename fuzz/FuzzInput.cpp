#include "FuzzInput.hpp"

#include <cstring>
#include <vector>

namespace kelvor::fuzz {

uint8_t FuzzInput::byte() {
  return empty() ? 0 : data_[at_++];
}

uint32_t FuzzInput::number(uint32_t max) {
  uint32_t value = 0;
  for (int i = 0; i < 4 && !empty(); ++i) value = (value << 8) | byte();
  return max == UINT32_MAX ? value : value % (max + 1);
}

std::string FuzzInput::text(size_t maxLength) {
  size_t length = byte();
  if (length == 255) length = number(static_cast<uint32_t>(maxLength));
  length = std::min({length, maxLength, size_ - at_});
  std::string out(reinterpret_cast<const char*>(data_ + at_), length);
  at_ += length;
  return out;
}

double FuzzInput::real() {
  uint8_t bytes[sizeof(double)] = {};
  for (auto& b : bytes) b = byte();
  double value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::string FuzzInput::rest() {
  std::string out(reinterpret_cast<const char*>(data_ + at_), size_ - at_);
  at_ = size_;
  return out;
}

Json FuzzInput::value(size_t maxDepth, size_t maxNodes) {
  // Open containers with the key each will be stored under in its parent.
  struct Open {
    Json value;
    std::string key;
  };
  std::vector<Open> open;
  open.push_back({Json::object(), ""});
  size_t nodes = 0;
  auto close = [&] {
    Open done = std::move(open.back());
    open.pop_back();
    Json& parent = open.back().value;
    if (parent.is_array()) {
      parent.push_back(std::move(done.value));
    } else {
      parent[done.key] = std::move(done.value);
    }
  };
  while (!empty() && nodes++ < maxNodes) {
    const uint8_t op = byte() % 10;
    Json& here = open.back().value;
    std::string key = here.is_object() ? text(32) : std::string();
    auto put = [&](Json v) {
      if (here.is_array()) {
        here.push_back(std::move(v));
      } else {
        here[key] = std::move(v);
      }
    };
    switch (op) {
      case 0:
        put(nullptr);
        break;
      case 1:
        put(byte() % 2 == 0);
        break;
      case 2:
        put(static_cast<int64_t>(number(UINT32_MAX)) - INT32_MAX);
        break;
      case 3:
        put(static_cast<uint64_t>(number(UINT32_MAX)) << 32);
        break;
      case 4:
        put(real());
        break;
      case 5:
        put(text(300));
        break;
      case 6:
      case 7:
        if (open.size() < maxDepth) {
          open.push_back({op == 6 ? Json::array() : Json::object(), key});
        }
        break;
      default:
        if (open.size() > 1) close();
        break;
    }
  }
  while (open.size() > 1) close();
  return std::move(open.front().value);
}

}  // namespace kelvor::fuzz
