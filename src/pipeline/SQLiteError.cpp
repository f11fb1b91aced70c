#include "pipeline/SQLiteError.hpp"

namespace kelvor {
namespace {

const char* name(SQLiteError::Kind kind) {
  switch (kind) {
    case SQLiteError::Kind::OpenDatabase:
      return "OpenDatabase";
    case SQLiteError::Kind::Prepare:
      return "Prepare";
    case SQLiteError::Kind::Step:
      return "Step";
    case SQLiteError::Kind::Bind:
      return "Bind";
    case SQLiteError::Kind::NewerSchema:
      return "NewerSchema";
  }
  return "Unknown";
}

}  // namespace

SQLiteError::SQLiteError(Kind kind, std::string message)
    : kind_(kind),
      message_(std::move(message)),
      description_(std::string("SQLiteError.") + name(kind) + ": " + message_) {}

}  // namespace kelvor
