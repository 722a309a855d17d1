#include "preview/access_policy.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <vexo/camera_file.hpp>

namespace vexo::tools::preview {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool isIpLiteral(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

bool parseListen(const std::string& text, std::string& host, uint16_t& port, std::string& error) {
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "'" + text + "': missing ']' after the IPv6 address";
            return false;
        }
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') {
                error = "'" + text + "': expected ':PORT' after ']'";
                return false;
            }
            portText = text.substr(close + 2);
        }
    } else {
        const size_t colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') != colon) {
            error = "'" + text + "': write an IPv6 address in brackets, e.g. [::1]:8080";
            return false;
        }
        host = text.substr(0, colon);
        if (colon != std::string::npos) portText = text.substr(colon + 1);
    }
    port = 8080;
    if (!portText.empty() || (text.find(':') != std::string::npos && text.back() == ':')) {
        uint64_t value = 0;
        if (!parseNumber(portText, 65535, value)) {
            error = "'" + text + "': the port is not a number from 0 to 65535";
            return false;
        }
        port = static_cast<uint16_t>(value);
    }
    if (host == "localhost") host = "127.0.0.1";
    if (!isIpLiteral(host)) {
        error = "'" + text + "': the address must be an IPv4 or IPv6 address (or localhost)";
        return false;
    }
    return true;
}

bool isLoopbackAddress(const std::string& host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        static const in6_addr loop = IN6ADDR_LOOPBACK_INIT;
        return std::equal(std::begin(v6.s6_addr), std::end(v6.s6_addr), std::begin(loop.s6_addr));
    }
    return false;
}

std::string randomToken() {
    std::random_device source;  // the system's random source
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof(part), "%08x", static_cast<unsigned>(source()));
        token += part;
    }
    return token;
}

bool validToken(std::string_view token) {
    if (token.size() < 8 || token.size() > 128) return false;
    for (char c : token)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' &&
            c != '~')
            return false;
    return true;
}

AccessPolicy::AccessPolicy(std::string host, uint16_t port, std::string token)
    : host_(std::move(host)), port_(port), token_(std::move(token)) {
    loopback_ = isLoopbackAddress(host_);
    wildcard_ = host_ == "0.0.0.0" || host_ == "::";
}

bool AccessPolicy::hostAllowed(std::string_view header) const {
    std::string value = lower(header);
    // Split "name:port" / "[v6]:port"; a missing port means 80.
    std::string name;
    std::string portText;
    if (!value.empty() && value.front() == '[') {
        const size_t close = value.find(']');
        if (close == std::string::npos) return false;
        name = value.substr(1, close - 1);
        if (close + 1 < value.size()) {
            if (value[close + 1] != ':') return false;
            portText = value.substr(close + 2);
        }
    } else {
        const size_t colon = value.find(':');
        name = value.substr(0, colon);
        if (colon != std::string::npos) portText = value.substr(colon + 1);
    }
    uint64_t port = 80;
    if (!portText.empty() && !parseNumber(portText, 65535, port)) return false;
    if (portText.empty() && value.find(':') != std::string::npos && value.front() != '[')
        return false;
    if (port != port_) return false;
    if (name == "localhost") return loopback_ || wildcard_;
    if (!isIpLiteral(name)) return false;  // a DNS name may have been rebound to us
    if (wildcard_) return true;
    // Compare addresses, not texts: 127.0.0.1 and ::ffff:127.0.0.1 spellings differ.
    unsigned char a[16] = {}, b[16] = {};
    const int family = name.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    const int own = host_.find(':') != std::string::npos ? AF_INET6 : AF_INET;
    if (family != own) return false;
    inet_pton(family, name.c_str(), a);
    inet_pton(own, host_.c_str(), b);
    return std::equal(a, a + 16, b);
}

bool AccessPolicy::tokenMatches(std::string_view given) const {
    unsigned diff = given.size() == token_.size() ? 0u : 1u;
    for (size_t i = 0; i < token_.size(); ++i)
        diff |= static_cast<unsigned>(token_[i]) ^
                static_cast<unsigned>(i < given.size() ? given[i] : 0);
    return diff == 0 && !token_.empty();
}

std::string AccessPolicy::baseUrl() const {
    const bool v6 = host_.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
}

}  // namespace vexo::tools::preview
