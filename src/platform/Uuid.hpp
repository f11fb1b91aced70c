#pragma once

#include <string>

namespace kelvor {

class Uuid {
 public:
  // A fresh random UUID in canonical upper-case text: 8-4-4-4-12 hexadecimal digits.
  static std::string random();
};

}  // namespace kelvor
