// Who may use the preview: the checks every request passes before it is served.
//
// - Loopback listening (127.0.0.0/8, ::1) serves reads (picture, counters, snapshots) without
//   a token; any other address needs the token on every request.
// - Requests that change anything are POST and need the token wherever the preview listens,
//   and so does the page, which carries the token: any local account may reach a loopback
//   port, so the page must not hand the token to whoever asks.
// - The Host header must name the listen address (or "localhost" on loopback; any IP literal
//   when listening on every address), so a page of another site that rebinds its DNS name to
//   this machine is refused.
//
// The token travels in the X-Vexo-Token header or the "token" query parameter.
//
// Threading: immutable after construction.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vexo::tools::preview {

/// "ADDR:PORT", "[v6]:PORT", "ADDR" (port 8080) split into its parts. False with the reason.
bool parseListen(const std::string& text, std::string& host, uint16_t& port, std::string& error);

/// True for 127.0.0.0/8 and ::1.
bool isLoopbackAddress(const std::string& host);

/// 32 hex digits from the system's random source.
std::string randomToken();

/// Tokens must be 8..128 characters of letters, digits, '-', '_', '.', '~' (safe in a URL).
bool validToken(std::string_view token);

class AccessPolicy {
  public:
    AccessPolicy(std::string host, uint16_t port, std::string token);

    bool loopback() const { return loopback_; }
    const std::string& token() const { return token_; }

    /// True when `hostHeader` names this preview.
    bool hostAllowed(std::string_view hostHeader) const;
    /// Compares in time independent of where the texts differ.
    bool tokenMatches(std::string_view given) const;
    /// Whether a request must carry the token; `secret`: it changes something or hands out
    /// the token.
    bool tokenNeeded(bool secret) const { return secret || !loopback_; }

    /// The address to print: http://HOST:PORT/
    std::string baseUrl() const;

  private:
    std::string host_;  // without brackets
    uint16_t port_;
    std::string token_;
    bool loopback_;
    bool wildcard_;
};

}  // namespace vexo::tools::preview
