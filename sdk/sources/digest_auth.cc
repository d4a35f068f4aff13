// Digest authentication, MD5 through OpenSSL's EVP interface.
#include "sdk/sources/digest_auth.h"

#include <openssl/evp.h>

#include <memory>

namespace kv {

std::string Md5Hex(const std::string& data) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    return std::string();
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(kHex[digest[i] >> 4]);
    out.push_back(kHex[digest[i] & 0xF]);
  }
  return out;
}

std::string DigestResponse(const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& nonce,
                           const std::string& method, const std::string& uri) {
  const std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
  const std::string ha2 = Md5Hex(method + ":" + uri);
  return Md5Hex(ha1 + ":" + nonce + ":" + ha2);
}

}  // namespace kv
