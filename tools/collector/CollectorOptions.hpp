#pragma once

#include <optional>
#include <string>

namespace kelvor::collector {

struct CollectorOptions {
  int port = 0;
  std::string certFile;
  std::string keyFile;
  std::string caOut;
  std::string keyOut;  // where to write the private key, so a restart can present the same
  std::string outFile;
  std::string writeKey;  // empty: any non-empty key is accepted
  int status = 0;        // 0: answer normally
  int failEvery = 0;
  int delayMs = 0;
  int dropEvery = 0;
  int statusForMs = 0;       // 0: --status for good; else only for the first MS milliseconds
  int statusAfterMs = 0;     // --status (and --status-for-ms) count from MS milliseconds on
  std::string refuseText;    // 400 to a batch whose body contains it
  long long maxBody = 0;     // 0: no limit; else 413 above it
  std::string retryAfter;    // Retry-After on every error answer ("+N": a date N s on)
  long long clockSkew = 0;   // seconds this server's clock (its Date header) is ahead
  bool neverAnswer = false;  // take requests, never answer
  int uiPort = -1;           // the page and API on plain HTTP: -1 none, 0 pick a port
  std::string planFile;      // a tracking plan to check every event against
  std::string portFile;      // where the bound ports are written once they listen

  // nullopt (and a message on standard error) for a bad command line.
  static std::optional<CollectorOptions> parse(int argc, char** argv);
  static const char* usage();
};

}  // namespace kelvor::collector
