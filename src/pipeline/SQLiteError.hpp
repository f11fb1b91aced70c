#pragma once

#include <exception>
#include <string>

namespace kelvor {

// Raised inside the store and caught there; only SQLiteDatabase::open lets one out.
class SQLiteError : public std::exception {
 public:
  enum class Kind { OpenDatabase, Prepare, Step, Bind, NewerSchema };

  SQLiteError(Kind kind, std::string message);
  Kind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  // "SQLiteError.Step: <sqlite's message>"
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  Kind kind_;
  std::string message_;
  std::string description_;
};

}  // namespace kelvor
