// The dashboard's HTTP server: the page, the API, and the rules every
// request passes first (method, Host, token; see access.h).
//
// Threads: cpp-httplib gives each connection a thread from a fixed pool.
// The API's store work is serialized by one lock (api.h), so more threads
// would only queue on it; instead at most kMaxInFlight API requests are
// taken at a time (running or waiting for the lock) and the rest are
// answered 503 at once, which keeps memory and latency bounded under any
// load.  The page itself needs no store and is always served.
#ifndef WQSERVE_SERVER_H_
#define WQSERVE_SERVER_H_

#include <memory>
#include <string>
#include <vector>

#include "serve/access.h"

namespace wqserve {

struct ServeConfig {
  std::vector<std::string> queues;  // as named on the command line
  std::string dataDir;
  std::string tavloBinary;          // for /api/tasks
  ListenAddress listen;
  std::string token;                // empty: no token (loopback only)
};

class Server {
 public:
  static constexpr int kThreads = 12;
  static constexpr int kMaxInFlight = 6;

  explicit Server(ServeConfig config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Takes the address (port 0: any free one).  False with *error set.
  bool Bind(std::string* error);
  // The address to open, after Bind: "http://127.0.0.1:8025/", with
  // "?code=..." (the one-time login) in token mode.
  std::string Url() const;
  int Port() const;
  // Serves until Stop; false when the server could not run.
  bool Run();
  // From any thread (or a signal-waiting one).
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wqserve

#endif  // WQSERVE_SERVER_H_
