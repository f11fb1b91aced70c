#include "Certificate.hpp"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <fcntl.h>

#include <cstdio>
#include <memory>

namespace kelvor::collector {
namespace {

bool addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

}  // namespace

Certificate::~Certificate() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
}

bool Certificate::generate(std::string& error) {
  key_ = EVP_EC_gen("P-256");
  if (key_ == nullptr) {
    error = "cannot generate a key";
    return false;
  }
  cert_ = X509_new();
  X509_set_version(cert_, 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert_));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert_), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert_), 60L * 60 * 24 * 30);
  X509_set_pubkey(cert_, key_);
  X509_NAME* name = X509_get_subject_name(cert_);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("quorvel-collector"), -1, -1,
                             0);
  X509_set_issuer_name(cert_, name);
  // Its own authority, so the one file is both what the server presents and what clients trust.
  if (!addExtension(cert_, NID_basic_constraints, "critical,CA:TRUE") ||
      !addExtension(cert_, NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !addExtension(cert_, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") ||
      !addExtension(cert_, NID_subject_key_identifier, "hash")) {
    error = "cannot add certificate extensions";
    return false;
  }
  if (X509_sign(cert_, key_, EVP_sha256()) == 0) {
    error = "cannot sign the certificate";
    return false;
  }
  return true;
}

bool Certificate::load(const std::string& certFile, const std::string& keyFile,
                       std::string& error) {
  FILE* f = std::fopen(certFile.c_str(), "r");
  if (f == nullptr) {
    error = "cannot read " + certFile;
    return false;
  }
  cert_ = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  f = std::fopen(keyFile.c_str(), "r");
  if (f == nullptr) {
    error = "cannot read " + keyFile;
    return false;
  }
  key_ = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (cert_ == nullptr || key_ == nullptr) {
    error = "cannot parse the certificate or the key";
    return false;
  }
  return true;
}

bool Certificate::writeCertificate(const std::string& file, std::string& error) const {
  FILE* f = std::fopen(file.c_str(), "w");
  if (f == nullptr) {
    error = "cannot write " + file;
    return false;
  }
  bool ok = PEM_write_X509(f, cert_) == 1;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) error = "cannot write " + file;
  return ok;
}

bool Certificate::writeKey(const std::string& file, std::string& error) const {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (f == nullptr) {
    error = "cannot write " + file;
    return false;
  }
  bool ok = PEM_write_PrivateKey(f, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) error = "cannot write " + file;
  return ok;
}

}  // namespace kelvor::collector
