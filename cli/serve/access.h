// Who may talk to the dashboard.  The server shows what is in the queues
// (addresses, error texts) to whoever reaches it, so it is closed by
// default:
//
//  - On a loopback address it answers only requests whose Host header is
//    exactly the address it printed.  A web page elsewhere that points its
//    own name at 127.0.0.1 (DNS rebinding) sends its own name as Host and
//    is refused, so no site the operator visits can read the queues.
//  - Any other listen address needs a token file.  The printed address then
//    carries a one-time code: the first visit with it gets a session cookie
//    (HttpOnly, SameSite=Strict) and the code is spent.  API clients send
//    the file's token as "Authorization: Bearer <token>".  Everything else
//    gets 401.
//
// No decision here touches a queue or the runtime: it runs before a request
// takes the store's lock.
#ifndef WQSERVE_ACCESS_H_
#define WQSERVE_ACCESS_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace wqserve {

struct ListenAddress {
  std::string host;  // an IP literal, without brackets
  int port = 0;
  bool v6 = false;
  bool loopback = false;
  // "127.0.0.1:8025" or "[::1]:8025": what the Host header must say.
  std::string HostPort() const;
};

// Parses "HOST:PORT" (HOST an IPv4 literal, or an IPv6 literal in
// brackets; PORT 0..65535, 0: any free port).  False with *error set.
bool ParseListen(const std::string& text, ListenAddress* out, std::string* error);

// The token of a token file: its first line, without surrounding blanks.
// Refuses a missing, unreadable or short (under 16 bytes) token.
bool ReadTokenFile(const std::string& path, std::string* token, std::string* error);

// Hex of `bytes` bytes from the system's random source.
std::string RandomHex(size_t bytes);

// Compares without an early exit, so the time taken tells nothing of how
// much of a guess was right.
bool SameSecret(const std::string& a, const std::string& b);

class Gate {
 public:
  enum class Verdict {
    kAllow,       // serve it
    kBadHost,     // 403: not the printed address (DNS rebinding)
    kNoAuth,      // 401: token mode and no valid session or token
    kLoggedIn,    // the one-time code was right: set the cookie, redirect
  };

  // `token` empty: no token mode (loopback only).  `checkHost`: the Host
  // header must be `hostPort`.
  Gate(std::string hostPort, bool checkHost, std::string token);

  // The code the printed address carries (token mode), else "".
  const std::string& LoginCode() const { return code_; }
  bool TokenMode() const { return !token_.empty(); }

  // Judges one request from its Host, Authorization and Cookie headers and,
  // for the page itself, its `code` parameter.  On kLoggedIn *cookie is the
  // Set-Cookie value to send.
  Verdict Check(const std::string& host, const std::string& authorization,
                const std::string& cookieHeader, bool isPage, const std::string& code,
                std::string* cookie);

  static constexpr const char* kCookieName = "wqadmin_session";

 private:
  bool HasSession(const std::string& cookieHeader);

  const std::string hostPort_;
  const bool checkHost_;
  const std::string token_;
  std::mutex mu_;  // guards the fields below: requests arrive on many threads
  std::string code_;
  bool codeSpent_ = false;
  std::set<std::string> sessions_;
};

}  // namespace wqserve

#endif  // WQSERVE_ACCESS_H_
