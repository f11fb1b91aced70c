#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

namespace kelvor::collector {

// A key and a certificate for the TLS listener: self-made for 127.0.0.1 and localhost, or read
// from PEM files.
class Certificate {
 public:
  Certificate() = default;
  ~Certificate();
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;

  bool generate(std::string& error);
  bool load(const std::string& certFile, const std::string& keyFile, std::string& error);
  bool writeCertificate(const std::string& file, std::string& error) const;
  bool writeKey(const std::string& file, std::string& error) const;  // owner-only

  X509* x509() const { return cert_; }
  EVP_PKEY* key() const { return key_; }

 private:
  X509* cert_ = nullptr;
  EVP_PKEY* key_ = nullptr;
};

}  // namespace kelvor::collector
