// A host program that reports events and returns from main while the library's threads are
// still at work. Usage: quorvel-host-exit <folder> <base-url> <ca-file> <events> <mode>
// mode "leave": return 7 at once; mode "upload": wait until everything stored is uploaded.
#include <kelvor/Quorvel.hpp>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const std::string folder = argv[1];
  kelvor::Platform::setDocumentsDirectory(folder + "/documents");
  kelvor::Platform::setPreferencesDirectory(folder + "/preferences");
  kelvor::Platform::setIngestionBaseUrl(argv[2]);
  kelvor::Platform::setCABundle(argv[3]);
  const int events = std::atoi(argv[4]);
  const std::string mode = argv[5];

  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("key").optout(false).batchSize(10).eventUploadInterval(1);
  kelvor::Quorvel::initialize(option->build());
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  if (quorvel == nullptr) return 3;
  for (int i = 0; i < events; ++i) {
    quorvel->setEventProperties("exit-" + std::to_string(i), {{"i", i}});
  }
  if (mode == "leave") return 7;
  return quorvel->flush(std::chrono::seconds(60)) ? 0 : 4;
}
