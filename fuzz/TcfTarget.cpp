// Whatever a consent-management platform may write under the IABTCF_* keys.
#include <kelvor/Platform.hpp>
#include <kelvor/Preferences.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "Sandbox.hpp"
#include "consent/GDPRConsent.hpp"

namespace kelvor::fuzz {

int tcf(const uint8_t* data, size_t size) {
  static const bool placed = [] {
    Platform::setPreferencesDirectory(sandbox() / "tcf");
    return true;
  }();
  (void)placed;
  FuzzInput in(data, size);
  Preferences& cmp = Preferences::standard();
  for (const auto& key : GDPRConsent::observedKeys()) {
    switch (in.byte() % 7) {
      case 0:
        cmp.remove(key);
        break;
      case 1:
        cmp.set(key, static_cast<int64_t>(in.number(UINT32_MAX)) - INT32_MAX);
        break;
      case 2:
        cmp.set(key, in.byte() % 2 == 0);
        break;
      case 3:
        cmp.set(key, in.real());
        break;
      case 4:
        cmp.set(key, in.value(4, 32));
        break;
      default:
        cmp.set(key, in.text(1024));
        break;
    }
  }
  auto option = std::make_shared<QuorvelOption>();
  std::vector<int> purposes;
  for (int i = in.byte() % 6; i > 0; --i) purposes.push_back(static_cast<int>(in.number(2000)) - 5);
  option->setPurposesForTracking(purposes);
  option->setPurposesForIdentifying(purposes);
  option->setCheckKelvorVendorConsent(in.byte() % 2 == 0);
  auto consent = std::make_shared<GDPRConsent>(option);
  (void)consent->gdprApplies();
  (void)consent->hasTCString();
  (void)consent->translateTCDataToSDKConsent(consent->getTCData());
  consent->resolveTCFV2Consent([](const Json&) {});
  (void)GDPRConsent::hasPurposeConsents(purposes, in.text(256));
  return 0;
}

}  // namespace kelvor::fuzz
