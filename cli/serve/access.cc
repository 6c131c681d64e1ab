// Who may talk to the dashboard (see access.h).
#include "serve/access.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace wqserve {

std::string ListenAddress::HostPort() const {
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseListen(const std::string& text, ListenAddress* out, std::string* error) {
  ListenAddress a;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "--listen: '" + text + "' is not [IPV6]:PORT";
      return false;
    }
    a.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    a.v6 = true;
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      *error = "--listen: '" + text + "' is not HOST:PORT (e.g. 127.0.0.1:8025)";
      return false;
    }
    a.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(port) > 65535) {
    *error = "--listen: '" + port + "' is not a port number";
    return false;
  }
  a.port = static_cast<int>(std::stoul(port));
  // Only literal addresses: a name would be resolved by whoever controls
  // its DNS, and the Host check compares against exactly what is printed.
  unsigned char buf[16];
  if (a.v6) {
    if (inet_pton(AF_INET6, a.host.c_str(), buf) != 1) {
      *error = "--listen: '" + a.host + "' is not an IPv6 address";
      return false;
    }
    static const unsigned char kLoop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    a.loopback = std::equal(buf, buf + 16, kLoop);
  } else {
    if (inet_pton(AF_INET, a.host.c_str(), buf) != 1) {
      *error = "--listen: '" + a.host + "' is not an IPv4 address (names are not taken)";
      return false;
    }
    a.loopback = buf[0] == 127;
  }
  *out = a;
  return true;
}

bool ReadTokenFile(const std::string& path, std::string* token, std::string* error) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) {
    *error = "--token-file: cannot read '" + path + "'";
    return false;
  }
  const char* blanks = " \t\r\n";
  size_t a = line.find_first_not_of(blanks);
  size_t b = line.find_last_not_of(blanks);
  *token = a == std::string::npos ? "" : line.substr(a, b - a + 1);
  if (token->size() < 16) {
    *error = "--token-file: the token in '" + path +
             "' is shorter than 16 characters; use a long random one";
    return false;
  }
  return true;
}

std::string RandomHex(size_t bytes) {
  std::string out;
  // std::random_device reads the kernel's random source on Linux.
  std::random_device rd;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes; i++) {
    unsigned v = rd() & 0xFF;
    out += kHex[v >> 4];
    out += kHex[v & 15];
  }
  return out;
}

bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const std::string& longer = a.size() >= b.size() ? a : b;
  for (size_t i = 0; i < longer.size(); i++) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff |= x ^ y;
  }
  return diff == 0;
}

Gate::Gate(std::string hostPort, bool checkHost, std::string token)
    : hostPort_(std::move(hostPort)), checkHost_(checkHost), token_(std::move(token)) {
  if (!token_.empty()) code_ = RandomHex(16);
}

bool Gate::HasSession(const std::string& cookieHeader) {
  // "a=1; wqadmin_session=...; b=2"
  const std::string name = std::string(kCookieName) + "=";
  size_t at = 0;
  while (at < cookieHeader.size()) {
    size_t end = cookieHeader.find(';', at);
    if (end == std::string::npos) end = cookieHeader.size();
    std::string part = cookieHeader.substr(at, end - at);
    size_t first = part.find_first_not_of(' ');
    if (first != std::string::npos && part.compare(first, name.size(), name) == 0) {
      const std::string value = part.substr(first + name.size());
      for (const std::string& s : sessions_)
        if (SameSecret(s, value)) return true;
    }
    at = end + 1;
  }
  return false;
}

Gate::Verdict Gate::Check(const std::string& host, const std::string& authorization,
                          const std::string& cookieHeader, bool isPage,
                          const std::string& code, std::string* cookie) {
  if (checkHost_ && host != hostPort_) return Verdict::kBadHost;
  if (token_.empty()) return Verdict::kAllow;
  const std::string bearer = "Bearer ";
  if (authorization.compare(0, bearer.size(), bearer) == 0 &&
      SameSecret(authorization.substr(bearer.size()), token_))
    return Verdict::kAllow;
  std::lock_guard<std::mutex> lock(mu_);
  if (!cookieHeader.empty() && HasSession(cookieHeader)) return Verdict::kAllow;
  if (isPage && !code.empty() && !codeSpent_ && SameSecret(code, code_)) {
    codeSpent_ = true;
    const std::string session = RandomHex(32);
    sessions_.insert(session);
    *cookie = std::string(kCookieName) + "=" + session +
              "; Path=/; HttpOnly; SameSite=Strict";
    return Verdict::kLoggedIn;
  }
  return Verdict::kNoAuth;
}

}  // namespace wqserve
