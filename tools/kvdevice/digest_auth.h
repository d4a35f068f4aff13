// HTTP Digest authentication as RFC 2617 defines it without quality of protection, for the
// simulated camera's RTSP server: the challenge it sends and the check of a client's answer.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace kvdevice {

// 32 lower-case hexadecimal digits of the MD5 of text (libcrypto's EVP interface).
std::string Md5Hex(std::string_view text);

// MD5(MD5(user:realm:password):nonce:MD5(method:uri)), each as lower-case hex.
std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view password,
                           std::string_view nonce, std::string_view method, std::string_view uri);

// The name="value" and name=value pairs of an Authorization header value after "Digest";
// nothing when the value does not start with the word Digest.
std::map<std::string, std::string> ParseDigestFields(std::string_view value);

struct DigestAccount {
  std::string realm;
  std::string nonce;
  std::string user;
  std::string password;
};

// The WWW-Authenticate value: Digest realm="...", nonce="...".
std::string DigestChallenge(const DigestAccount& account);

// True when the Authorization header value answers the challenge for this method: the user,
// realm and nonce are the account's and the response matches the uri the client named.
bool DigestAccepted(const DigestAccount& account, std::string_view method,
                    std::string_view authorization);

}  // namespace kvdevice
