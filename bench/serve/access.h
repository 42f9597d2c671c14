// Who may use a served page: the addresses it may listen on, and the session's token.
#pragma once

#include <string>
#include <vector>

namespace zeph::bench {

// A fresh random token, in hex; throws when the system has no random bytes to give.
std::string newToken();

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& a, const std::string& b);

// The address's numeric forms, as it resolves; false when any is not loopback (a name such as
// 127.example.org is looked up, and may be anywhere), or it does not resolve.
bool loopbackOnly(const std::string& address, std::vector<std::string>& numeric);

// The address as a URL's host: an IPv6 one in brackets.
std::string hostPart(const std::string& address);

} // namespace zeph::bench
