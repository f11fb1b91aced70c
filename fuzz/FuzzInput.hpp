#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <kelvor/Json.hpp>

namespace kelvor::fuzz {

// Turns a fuzzer's bytes into the values the library takes. Texts are raw bytes (invalid UTF-8
// and NUL included) and numbers may be NaN or infinite: everything a host could hand over.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  uint8_t byte();
  // In [0, max].
  uint32_t number(uint32_t max);
  std::string text(size_t maxLength);
  double real();
  std::string rest();
  // A value of any shape up to `maxDepth` levels and `maxNodes` nodes, built without recursion.
  Json value(size_t maxDepth, size_t maxNodes = 512);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace kelvor::fuzz
