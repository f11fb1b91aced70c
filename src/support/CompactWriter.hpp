#pragma once

#include <string>

#include <kelvor/Json.hpp>

namespace kelvor {

// The reporting call's JSON writer: the same bytes as render() (compact, invalid UTF-8
// replaced), written into a buffer kept per thread with its writer. A report then costs one
// allocation, its own copy of the text, where a fresh dump made its writer and grew its string
// several times. It reaches into the JSON library's serializer, which no public call offers
// with a reusable buffer; a change there stops the build, not the bytes.
class CompactWriter {
 public:
  static std::string write(const Json& value);
  // The same text into `text`, whose capacity is reused when it suffices.
  static void write(const Json& value, std::string& text);
};

}  // namespace kelvor
