#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <kelvor/export.hpp>

namespace kelvor {

// The configuration the library reads at each use. Any implementation of the fourteen
// properties is accepted; QuorvelOption is the library's own.
class KELVOR_EXPORT Option {
 public:
  virtual ~Option() = default;

  virtual std::string apiKey() const = 0;
  virtual void setApiKey(const std::string& value) = 0;
  virtual bool logging() const = 0;
  virtual void setLogging(bool value) = 0;
  virtual std::optional<bool> optout() const = 0;
  virtual void setOptout(std::optional<bool> value) = 0;
  virtual bool useConsent() const = 0;
  virtual void setUseConsent(bool value) = 0;
  virtual bool checkForCMP() const = 0;
  virtual void setCheckForCMP(bool value) = 0;
  virtual bool areIdentitiesHashed() const = 0;
  virtual void setAreIdentitiesHashed(bool value) = 0;
  virtual bool hashIdentities() const = 0;
  virtual void setHashIdentities(bool value) = 0;
  virtual std::string userCountry() const = 0;
  virtual void setUserCountry(const std::string& value) = 0;
  virtual int64_t batchSize() const = 0;
  virtual void setBatchSize(int64_t value) = 0;
  virtual int64_t maxCacheSize() const = 0;
  virtual void setMaxCacheSize(int64_t value) = 0;
  virtual int64_t eventUploadInterval() const = 0;
  virtual void setEventUploadInterval(int64_t value) = 0;
  virtual std::vector<int> purposesForTracking() const = 0;
  virtual void setPurposesForTracking(const std::vector<int>& value) = 0;
  virtual std::vector<int> purposesForIdentifying() const = 0;
  virtual void setPurposesForIdentifying(const std::vector<int>& value) = 0;
  virtual bool checkKelvorVendorConsent() const = 0;
  virtual void setCheckKelvorVendorConsent(bool value) = 0;
};

}  // namespace kelvor
