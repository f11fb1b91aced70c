#pragma once

#include <any>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kelvor/InitializeResult.hpp>
#include <kelvor/Option.hpp>
#include <kelvor/Reachability.hpp>

namespace kelvor {

class ConsentService;
class HttpService;
class IdentityProvider;
class OrvaEventsManager;
class OrvaService;
class PageProvider;
class QuorvelUserDefaults;
class SQLiteDatabase;
class TimeSource;

// The facade's state, and the one place where its components are built, wired together, started
// and stopped, each in the order they depend on each other. The test support builds its
// pipelines here as well, so they run the wiring the host runs.
class Components : public std::enable_shared_from_this<Components> {
 public:
  // What the components are built against: the host's Platform settings, or a test's sandbox.
  struct Settings {
    std::filesystem::path documents;  // the store's folder
    std::string baseUrl;
    std::filesystem::path caBundle;  // trusted besides the system's; empty: none
    std::optional<std::string> proxy;
    // The network-state monitor; null: the system's, or one that never reports a change.
    std::shared_ptr<Reachability> reachability;
    // The delivery's clock and timers; null: the real ones.
    std::shared_ptr<TimeSource> time;
  };

  // Checks the host's settings, then builds everything from them: ready, or why not (the
  // message is the error line to write). Nothing is kept built when it fails.
  InitializeResult assemble(std::shared_ptr<Option> givenOptions);
  // Builds everything from given settings; throws when the store cannot be opened.
  void build(std::shared_ptr<Option> givenOptions, Settings givenSettings);
  // In a child of fork: the parts bound to the parent (the store connection, the queues, the
  // networking thread, the network monitor) built anew from the same settings; the identity and
  // the consent are kept. Throws as build does.
  void rebuildForChild();
  // Once built: the consent decision, when resolved, loads the identity from storage and starts
  // or stops delivery; then the decision is resolved.
  void start();
  // Builds the identity when tracking is allowed, and sends it.
  void refreshIdentity();
  // Delivery first, then the network monitor, then the networking thread.
  void stop();

  // The facade's own flags.
  std::atomic<bool> isInitCalled{false};
  std::atomic<bool> isSdkInitialized{false};
  std::atomic<bool> isShutdown{false};
  std::mutex initMutex;

  std::shared_ptr<Option> options;
  Settings settings;
  std::shared_ptr<HttpService> httpService;
  std::shared_ptr<SQLiteDatabase> dataBase;
  std::shared_ptr<Reachability> reachability;
  std::shared_ptr<QuorvelUserDefaults> userDefault;
  std::shared_ptr<IdentityProvider> identityProvider;
  std::shared_ptr<PageProvider> pageProvider;
  std::shared_ptr<ConsentService> consentService;
  std::shared_ptr<OrvaService> orvaService;
  std::shared_ptr<OrvaEventsManager> orvaEventManager;

 private:
  // The parts a process owns alone (built at start and again in a child of fork): its
  // networking thread, store connection and network monitor, then the delivery over them.
  void buildConnections();
  void buildDelivery();
  void loadFromStorage(const std::any& value);
};

}  // namespace kelvor
