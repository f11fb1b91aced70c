#pragma once

#include <memory>

#include <kelvor/Option.hpp>
#include <kelvor/export.hpp>

namespace kelvor {

// The library's configuration object: chainable builders that log each value, and build(),
// which brings out-of-range values back into range. Fields are guarded, so the library's
// queues may read them while the app writes.
class KELVOR_EXPORT QuorvelOption : public Option,
                                    public std::enable_shared_from_this<QuorvelOption> {
 public:
  QuorvelOption();
  ~QuorvelOption() override;

  std::string apiKey() const override;
  void setApiKey(const std::string& value) override;
  bool logging() const override;
  void setLogging(bool value) override;
  std::optional<bool> optout() const override;
  void setOptout(std::optional<bool> value) override;
  bool useConsent() const override;
  void setUseConsent(bool value) override;
  bool checkForCMP() const override;
  void setCheckForCMP(bool value) override;
  bool areIdentitiesHashed() const override;
  void setAreIdentitiesHashed(bool value) override;
  bool hashIdentities() const override;
  void setHashIdentities(bool value) override;
  std::string userCountry() const override;
  void setUserCountry(const std::string& value) override;
  int64_t batchSize() const override;
  void setBatchSize(int64_t value) override;
  int64_t maxCacheSize() const override;
  void setMaxCacheSize(int64_t value) override;
  int64_t eventUploadInterval() const override;
  void setEventUploadInterval(int64_t value) override;
  std::vector<int> purposesForTracking() const override;
  void setPurposesForTracking(const std::vector<int>& value) override;
  std::vector<int> purposesForIdentifying() const override;
  void setPurposesForIdentifying(const std::vector<int>& value) override;
  bool checkKelvorVendorConsent() const override;
  void setCheckKelvorVendorConsent(bool value) override;

  // Builders: store the value, log "<name> value was set to <value>", return this object.
  QuorvelOption& writeKey(const std::string& value);
  QuorvelOption& logging(bool value);
  QuorvelOption& optout(bool value);
  QuorvelOption& useConsent(bool value);
  QuorvelOption& checkForCMP(bool value);
  QuorvelOption& areIdentitiesHashed(bool value);
  QuorvelOption& hashIdentities(bool value);
  QuorvelOption& userCountry(const std::string& code);
  QuorvelOption& batchSize(int64_t value);
  QuorvelOption& maxCacheSize(int64_t value);
  QuorvelOption& eventUploadInterval(int64_t value);
  QuorvelOption& purposesForTracking(const std::vector<int>& value);
  QuorvelOption& purposesForIdentifying(const std::vector<int>& value);
  QuorvelOption& checkKelvorVendorConsent(bool value);

  // Normalises in place and returns this object when a shared_ptr owns it, else an owning copy.
  std::shared_ptr<Option> build();
  // The write key is empty or only Unicode white space (the key itself is not copied).
  bool isApiKeyBlank() const;
  // The key as log lines show it: "abcd*** (32 characters)".
  static std::string maskedKey(const std::string& key);
  // Keeps a key (and the forms it travels in) out of every log line.
  static void registerSecret(const std::string& key);

 private:
  struct Fields;
  // The values live behind a pointer: an option added later leaves this class's size, which a
  // host's code bakes in when it allocates one, as it is.
  std::unique_ptr<Fields> fields_;
};

}  // namespace kelvor
