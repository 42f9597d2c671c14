// Who may use a served page: loopback addresses only, and a token no other page can know.
#include "serve/access.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/random.h>

namespace zeph::bench {

std::string newToken() {
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (errno != EINTR)
            throw std::runtime_error("no random bytes for the session's token");
    }
    static const char* hex = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

// Compares in time independent of where the texts differ.
bool sameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// The address's numeric forms, as it resolves; false when any is not loopback (a name such as
// 127.example.org is looked up, and may be anywhere), or it does not resolve.
bool loopbackOnly(const std::string& address, std::vector<std::string>& numeric) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.empty() ? nullptr : address.c_str(), "0", &hints, &found) != 0)
        return false;
    bool loopback = found != nullptr;
    for (addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        if (a->ai_family == AF_INET) {
            const in_addr& in = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr;
            loopback &= (ntohl(in.s_addr) >> 24) == 127;
            inet_ntop(AF_INET, &in, text, sizeof text);
        } else if (a->ai_family == AF_INET6) {
            const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
            loopback &= IN6_IS_ADDR_LOOPBACK(&in6) != 0;
            inet_ntop(AF_INET6, &in6, text, sizeof text);
        } else {
            loopback = false;
        }
        numeric.push_back(text);
    }
    freeaddrinfo(found);
    return loopback;
}

std::string hostPart(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

} // namespace zeph::bench
