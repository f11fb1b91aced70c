// kelvor_one_run: a command-line tool that reports one event per run, as a host would, for
// kelvor_per_run_cost. Built twice: with the library, and without it (kelvor_one_run_bare, the
// baseline), so the difference is what the library costs a run.
//
// Usage: kelvor_one_run <report|flush> <folder> <base-url> <ca-file>
//   report  initialise, report one event, return from main (the exit stores it)
//   flush   the same, then flush(2 s) before returning; 4 when the flush failed
#include <cstdio>
#include <string>

#ifndef KELVOR_ONE_RUN_BARE
#include <kelvor/Quorvel.hpp>
#endif

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const std::string mode = argv[1];
  const std::string folder = argv[2];
#ifndef KELVOR_ONE_RUN_BARE
  kelvor::Platform::setDocumentsDirectory(folder + "/documents");
  kelvor::Platform::setPreferencesDirectory(folder + "/preferences");
  kelvor::Platform::setIngestionBaseUrl(argv[3]);
  kelvor::Platform::setCABundle(argv[4]);
  kelvor::Platform::setBundleInfo({{"CFBundleIdentifier", "com.example.tool"}});
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("key").optout(false).logging(false);
  kelvor::Quorvel::initialize(option->build());
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  if (quorvel == nullptr) return 3;
  quorvel->setEventProperties("tool_run", {{"mode", mode}});
  if (mode == "flush" && !quorvel->flush(std::chrono::seconds(2))) return 4;
#endif
  return mode.empty() ? 1 : 0;
}
