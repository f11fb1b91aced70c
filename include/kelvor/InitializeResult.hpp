#pragma once

#include <string>

namespace kelvor {

// What Quorvel::tryInitialize did.
enum class InitializeStatus {
  ready,                  // the library captures with these options
  alreadyInitialized,     // an earlier call succeeded; its options stay in force
  noOptions,              // no option object was given
  invalidWriteKey,        // the key is blank: nothing was initialised; call again with a good key
  unusableDirectory,      // the documents or preferences directory cannot be used
  refusedEndpoint,        // the ingestion URL cannot be read or is not https
  storeUnavailable,       // the event store cannot be opened
  storeFromNewerVersion,  // the event store was written by a newer version; left untouched
  unusableCABundle,       // the CA bundle set cannot be read or holds no PEM certificate
  failed,                 // anything else (the message says what)
};

struct InitializeResult {
  InitializeStatus status = InitializeStatus::failed;
  // What happened and what to do, as the error line says it; empty when ready.
  std::string message;

  bool ready() const { return status == InitializeStatus::ready; }
};

}  // namespace kelvor
