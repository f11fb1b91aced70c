// Identity texts through validation, splitting, case mapping and digests.
#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "identity/IdentityTransformer.hpp"

namespace kelvor::fuzz {

int identities(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const std::string text = in.text(512);
  Json given = Json::object();
  for (const char* key :
       {"email", "loginid", "cellno", "user_email", "md5_email", "sha256_cellno_e164", "other"}) {
    if (in.byte() % 2 == 0) given[key] = in.byte() % 4 == 0 ? in.value(3, 16) : Json(in.text(128));
  }
  given["email"] = text;
  Json valid = IdentityTransformer::normalizeIdentities(given);
  (void)IdentityTransformer::hashIdentityValues(valid);
  (void)IdentityTransformer::groupHashedIdentities(given);
  (void)IdentityTransformer::splitPhoneNumber(text);
  (void)IdentityTransformer::caseVariantHashes(text);
  (void)IdentityTransformer::plainHashes(text);
  return 0;
}

}  // namespace kelvor::fuzz
