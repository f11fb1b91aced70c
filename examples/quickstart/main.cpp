// Quickstart: a small host app that reports events, identities, properties and consent.
//
//   quickstart [--endpoint https://host:port/] [--ca extra-ca.pem] [--data folder]
//
// Without arguments it talks to the configured ingestion endpoint and keeps its files in the
// default XDG folders.
#include <kelvor/Quorvel.hpp>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--endpoint") == 0) kelvor::Platform::setIngestionBaseUrl(argv[i + 1]);
    if (std::strcmp(argv[i], "--ca") == 0) kelvor::Platform::setCABundle(argv[i + 1]);
    if (std::strcmp(argv[i], "--data") == 0) {
      kelvor::Platform::setDocumentsDirectory(std::string(argv[i + 1]) + "/documents");
      kelvor::Platform::setPreferencesDirectory(std::string(argv[i + 1]) + "/preferences");
    }
  }
  kelvor::Platform::setBundleInfo(
      {{"CFBundleName", "Quickstart"}, {"CFBundleShortVersionString", "1.0"}});

  // Configure once: consent comes from the app, identities are hashed by the library.
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("demo-write-key")
      .useConsent(true)
      .hashIdentities(true)
      .userCountry("DE")
      .batchSize(10)
      .eventUploadInterval(30);
  kelvor::Quorvel::initialize(option->build());

  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  if (quorvel == nullptr) return 1;

  // The library asks for consent; a real app would show its consent screen here.
  quorvel->listenToAskForConsent([quorvel](const std::any&) {
    std::printf("quickstart: the library asked for consent; the user agrees\n");
    quorvel->setConsent({{"track", true}, {"identify", true}});
  });

  quorvel->setATTStatusAndAdvertisingId(kelvor::TrackingAuthorizationStatus::authorized,
                                        "6D92078A-8246-4BA4-AE5B-76104861E7DC");
  quorvel->setUserIdentities({{"email", "Jane.Doe@Example.com"}, {"cellno", "+49 1512-3456789"}});
  quorvel->setUserProperties({{"plan", "premium"}, {"newsletter", true}});
  quorvel->setPageProperties({{"screen", "catalogue"}});

  int reported = 2;  // the page and user property changes are events too
  for (int i = 0; i < 12; ++i, ++reported) {
    quorvel->setEventProperties("product_viewed", {{"sku", "SKU-" + std::to_string(100 + i)}});
  }
  quorvel->setPageProperties({{"screen", "checkout"}});
  ++reported;
  for (int i = 0; i < 4; ++i, ++reported) {
    quorvel->setEventProperties("add_to_cart",
                                {{"sku", "SKU-" + std::to_string(100 + i)}, {"quantity", i + 1}});
  }
  quorvel->setInstantEventProperties("purchase", {{"price", 129.9}, {"currency", "EUR"}});
  ++reported;
  quorvel->setEventProperties("receipt_viewed");
  ++reported;

  // flush() sends what is left, partial batches too, and says whether the endpoint accepted
  // everything; deliveryStats() tells what became of each event.
  const bool delivered = quorvel->flush(std::chrono::seconds(45));
  const kelvor::DeliveryStats stats = quorvel->deliveryStats();
  std::printf("quickstart: reported %d events (ki %s)\n", reported, quorvel->getKI().c_str());
  std::printf(
      "quickstart: flush() says %s; accepted %llu, still stored %lld, dropped %llu, "
      "failed attempts %llu\n",
      delivered ? "everything was accepted" : "NOT everything was accepted",
      static_cast<unsigned long long>(stats.sent), static_cast<long long>(stats.pending),
      static_cast<unsigned long long>(stats.droppedByCacheCap + stats.droppedRefused +
                                      stats.refusedInvalid + stats.droppedUndecodable +
                                      stats.droppedByConsent),
      static_cast<unsigned long long>(stats.failedAttempts));
  if (!delivered && stats.failedAttempts > 0) {
    std::printf(
        "quickstart: the last failure had status %lld (0: no answer); the events stay "
        "stored and go at the next start\n",
        static_cast<long long>(stats.lastFailureStatus));
  }
  std::FILE* count = std::fopen("reported-events.txt", "w");
  if (count != nullptr) {
    std::fprintf(count, "%d\n", reported);
    std::fclose(count);
  }
  const bool allArrived = delivered && stats.sent == static_cast<uint64_t>(reported);
  return allArrived ? 0 : 2;
}
