#pragma once

#include <optional>
#include <string>

#include <kelvor/Json.hpp>

namespace kelvor {

// The record that travels through the pipeline: one row of the store, one element of a batch.
struct Events {
  static constexpr const char* libraryVersion = "1.3.0";

  std::string eventUUID;
  Json event = Json::object();
  std::optional<Json> page;
  Json user = Json::object();
  std::string version = libraryVersion;

  // "eventUUID", "event", "user", "version", and "page" only when it has an entry.
  Json toDictionary() const;
  std::string description() const;
};

}  // namespace kelvor
