#pragma once

// Umbrella header of the library.
#include <any>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <kelvor/APIErrors.hpp>
#include <kelvor/ActionListener.hpp>
#include <kelvor/ConsentData.hpp>
#include <kelvor/DeliveryStats.hpp>
#include <kelvor/InitializeResult.hpp>
#include <kelvor/Json.hpp>
#include <kelvor/Log.hpp>
#include <kelvor/Option.hpp>
#include <kelvor/Platform.hpp>
#include <kelvor/Preferences.hpp>
#include <kelvor/QuorvelOption.hpp>
#include <kelvor/Reachability.hpp>
#include <kelvor/SDKException.hpp>
#include <kelvor/TrackingProvider.hpp>
#include <kelvor/export.hpp>
#include <kelvor/version.hpp>

namespace kelvor {

class Components;

// The one object through which the host app uses the library. No public operation throws.
class KELVOR_EXPORT Quorvel {
 public:
  static void initialize(std::shared_ptr<Option> option);
  // The same, answering whether the library is ready and, if not, why (the message is the error
  // line it wrote). A failed call may be repeated; a completed one changes nothing later.
  static InitializeResult tryInitialize(std::shared_ptr<Option> option);
  // nullptr (and an error line) before a completed initialize.
  static Quorvel* getInstance();

  virtual void pauseCollection();
  virtual void resumeCollection();
  virtual void setEventProperties(const std::string& name);
  virtual void setEventProperties(const std::string& name, const StringMap& properties);
  virtual void setInstantEventProperties(const std::string& name);
  virtual void setInstantEventProperties(const std::string& name, const StringMap& properties);
  virtual void setUserProperties(const StringMap& properties);
  virtual void setUserIdentities(const StringMap& identities);
  virtual void setPageProperties(const StringMap& properties);
  virtual void unsetUserIdentities();
  virtual std::string getKI();
  virtual void resetKI();
  virtual void setKI(const std::string& ki);
  virtual void setConsent(const StringMap& consent);
  // action runs once the library needs the user's decision: at once on this thread when it
  // already asked, else later on the thread that resolves consent (see ActionListener). It may
  // call setConsent; an exception it throws is caught and written to standard error.
  virtual void listenToAskForConsent(std::function<void(const std::any&)> action);
  virtual void clearConsentFromStorage();
  virtual void setAdvertisingIdByATTStatus(TrackingAuthorizationStatus status);
  virtual void setATTStatusAndAdvertisingId(TrackingAuthorizationStatus status,
                                            const std::string& advertisingId);

  // Sends everything handed over before the call, partial batches included and a running
  // back-off ignored once, and returns true only when every one of those events was accepted by
  // the endpoint or dropped by a documented rule (consent, the cache cap, a refusal). Returns by
  // `limit` whatever happens meanwhile; what is not sent stays stored for later.
  bool flush(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // flush(limit), then stops the timers, the queues and the networking thread. Later calls write
  // an error line and do nothing; what was not sent stays stored for the next start.
  bool shutdown(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // What became of the events so far (DeliveryStats).
  DeliveryStats deliveryStats();

 protected:
  Quorvel() = default;
  virtual ~Quorvel() = default;

  virtual void configureConsent();
  virtual void refreshIdentity();
  // Throws SDKError; sets paused when capture is paused.
  virtual void checkSDKStatus(bool& paused);

 private:
  friend struct QuorvelProcess;  // the facade across fork and signals
  static Quorvel& shared();
  bool readinessPrologue(const char* context = nullptr);
  // Refuses a value nested too deeply for the library to take; true when refused.
  bool refuseDeep(const char* operation, const Json& value, bool countsAsEvent);

  // Everything the facade holds: its flags and its components.
  std::shared_ptr<Components> components_;
};

}  // namespace kelvor
