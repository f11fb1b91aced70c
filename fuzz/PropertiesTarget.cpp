// Maps of any shape, depth and content handed to the facade, as a host would.
#include <kelvor/Quorvel.hpp>

#include <atomic>

#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "Sandbox.hpp"

namespace kelvor::fuzz {
namespace {

// Formats every line, as a real sink would, and keeps none. Lines come from every thread.
class DiscardingSink : public LogSink {
 public:
  void write(LogLevel, const std::string&, const std::string&, const std::string& text) override {
    bytes_.fetch_add(text.size(), std::memory_order_relaxed);
  }

 private:
  std::atomic<size_t> bytes_{0};
};

Quorvel* facade() {
  static Quorvel* instance = [] {
    Platform::setLogSink(std::make_shared<DiscardingSink>());
    Platform::setLogLevel(LogLevel::debug);  // every line with a value in it is written too
    Platform::setDocumentsDirectory(sandbox() / "documents");
    Platform::setPreferencesDirectory(sandbox() / "preferences");
    Platform::setIngestionBaseUrl("https://127.0.0.1:9/");  // nothing listens: uploads back off
    auto option = std::make_shared<QuorvelOption>();
    option->writeKey("fuzz-key").optout(false).maxCacheSize(100).hashIdentities(true);
    Quorvel::initialize(option->build());
    return Quorvel::getInstance();
  }();
  return instance;
}

}  // namespace

int properties(const uint8_t* data, size_t size) {
  Quorvel* q = facade();
  if (q == nullptr) return 0;
  FuzzInput in(data, size);
  const uint8_t call = in.byte();
  const size_t depth = call & 0x80 ? 300 : 8;  // beyond the limit now and then
  const std::string name = in.text(80);
  const Json value = in.value(depth);
  switch (call % 8) {
    case 0:
      q->setEventProperties(name, value);
      break;
    case 1:
      q->setInstantEventProperties(name, value);
      break;
    case 2:
      q->setUserProperties(value);
      break;
    case 3:
      q->setPageProperties(value);
      break;
    case 4:
      q->setUserIdentities(value);
      break;
    case 5:
      q->setConsent(value);
      break;
    case 6:
      q->setKI(name);
      (void)q->getKI();
      break;
    default:
      q->setATTStatusAndAdvertisingId(static_cast<TrackingAuthorizationStatus>(in.byte() % 6),
                                      name);
      break;
  }
  return 0;
}

}  // namespace kelvor::fuzz
