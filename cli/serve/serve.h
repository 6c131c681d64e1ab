// wqadmin serve: a live dashboard of queues in the browser, read-only.
//
//   wqadmin serve QUEUE [QUEUE...] [--listen 127.0.0.1:8025] [--token-file F]
//
// Prints the address and serves until Ctrl-C (or SIGTERM).  The queues are
// of one data directory and are opened read-only for each request, so it
// runs beside the relay and rswq.  See server.h, api.h and access.h.
#ifndef WQSERVE_SERVE_H_
#define WQSERVE_SERVE_H_

#include <string>
#include <vector>

namespace wqserve {

struct ServeOptions {
  std::vector<std::string> queues;
  std::string listen = "127.0.0.1:8025";
  std::string tokenFile;
};

// The process exit code: 0 after Ctrl-C, 1 when it cannot serve, 2 for a
// usage error.
int CmdServe(const ServeOptions& o);

}  // namespace wqserve

#endif  // WQSERVE_SERVE_H_
