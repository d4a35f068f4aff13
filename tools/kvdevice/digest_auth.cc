// HTTP Digest authentication (RFC 2617, no qop) for the simulated camera's RTSP server.
#include "tools/kvdevice/digest_auth.h"

#include <openssl/evp.h>

#include <cctype>

namespace kvdevice {

std::string Md5Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view nonce, std::string_view method, std::string_view uri) {
  const std::string ha1 =
      Md5Hex(std::string(user) + ":" + std::string(realm) + ":" + std::string(password));
  const std::string ha2 = Md5Hex(std::string(method) + ":" + std::string(uri));
  return Md5Hex(ha1 + ":" + std::string(nonce) + ":" + ha2);
}

std::map<std::string, std::string> ParseDigestFields(std::string_view v) {
  std::map<std::string, std::string> fields;
  auto skipBlanks = [&] {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t' || v.front() == ',')) {
      v.remove_prefix(1);
    }
  };
  skipBlanks();
  if (v.size() < 6) return fields;
  for (size_t i = 0; i < 6; ++i) {
    if (std::tolower(static_cast<unsigned char>(v[i])) != "digest"[i]) return fields;
  }
  v.remove_prefix(6);
  for (;;) {
    skipBlanks();
    size_t eq = v.find('=');
    if (v.empty() || eq == std::string_view::npos) break;
    std::string name;
    for (char c : v.substr(0, eq)) {
      if (c != ' ' && c != '\t')
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    v.remove_prefix(eq + 1);
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    std::string value;
    if (!v.empty() && v.front() == '"') {
      size_t close = v.find('"', 1);
      if (close == std::string_view::npos) break;
      value = v.substr(1, close - 1);
      v.remove_prefix(close + 1);
    } else {
      size_t end = v.find(',');
      value = v.substr(0, end);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
      v.remove_prefix(end == std::string_view::npos ? v.size() : end);
    }
    fields.emplace(std::move(name), std::move(value));
  }
  return fields;
}

std::string DigestChallenge(const DigestAccount& account) {
  return "Digest realm=\"" + account.realm + "\", nonce=\"" + account.nonce + "\"";
}

bool DigestAccepted(const DigestAccount& account, std::string_view method,
                    std::string_view authorization) {
  std::map<std::string, std::string> f = ParseDigestFields(authorization);
  auto field = [&](const char* name) -> const std::string* {
    auto it = f.find(name);
    return it == f.end() ? nullptr : &it->second;
  };
  const std::string* user = field("username");
  const std::string* realm = field("realm");
  const std::string* nonce = field("nonce");
  const std::string* uri = field("uri");
  const std::string* response = field("response");
  if (!user || !realm || !nonce || !uri || !response) return false;
  if (*user != account.user || *realm != account.realm || *nonce != account.nonce) return false;
  std::string expected =
      DigestResponse(account.user, account.realm, account.password, account.nonce, method, *uri);
  std::string given;
  for (char c : *response) given += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return !expected.empty() && given == expected;
}

}  // namespace kvdevice
