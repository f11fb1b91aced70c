#pragma once

#include <exception>
#include <string>

namespace kelvor {

// Runs code the host gave the library (a log sink, an observer, a consent action, a tracking
// provider). Whatever it throws stays here: one error line goes to standard error, never
// through the host's sink, which may be the very thing that failed, and the library goes on.
class HostCallback {
 public:
  // True when the callback returned normally.
  template <class Body>
  static bool run(const char* what, Body&& body) noexcept {
    try {
      body();
      return true;
    } catch (const std::exception& error) {
      reportFailure(what, error.what());
    } catch (...) {
      reportFailure(what, nullptr);
    }
    return false;
  }

  // "error com.kelvor.KelvorQuorvel[main] [Kelvor] - <what> threw ...; the library goes on".
  static void reportFailure(const char* what, const char* detail) noexcept;
  // Writes one entry through the default sink (standard error), whatever sink is installed.
  static void writeToStandardError(const char* level, const std::string& text) noexcept;
};

}  // namespace kelvor
