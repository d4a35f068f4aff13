// The Digest response of RFC 2617 without quality of protection (MD5, lower-case hex).
#pragma once

#include <string>

namespace kv {

// hex(MD5(data)) in 32 lower-case digits; empty when the hash cannot be computed.
std::string Md5Hex(const std::string& data);

// hex(MD5(HA1 ":" nonce ":" HA2)) with HA1 = hex(MD5(user ":" realm ":" password)) and
// HA2 = hex(MD5(method ":" uri)).
std::string DigestResponse(const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& nonce,
                           const std::string& method, const std::string& uri);

}  // namespace kv
