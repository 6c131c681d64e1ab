// wqadmin serve: checks the options and the queues, prints the address and
// serves until a stop signal.
#include "serve/serve.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "serve/access.h"
#include "serve/server.h"
#include "tavlo/runtime.h"
#include "wqadmin/admin.h"
#include "wqadmin/safe_text.h"

namespace wqserve {

namespace {

namespace fs = std::filesystem;

int Usage(const std::string& message) {
  std::fprintf(stderr, "wqadmin: serve: %s\n", message.c_str());
  return 2;
}

// tavlo beside this wqadmin (they are built and installed together), else
// the one on PATH.
std::string TavloBinary() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    fs::path beside = self.parent_path() / "tavlo";
    if (access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  return "tavlo";
}

}  // namespace

int CmdServe(const ServeOptions& o) {
  ListenAddress listen;
  std::string error;
  if (!ParseListen(o.listen, &listen, &error)) return Usage(error);
  if (!listen.loopback && o.tokenFile.empty())
    return Usage("listening on " + listen.HostPort() +
                 ", which is not a loopback address, needs --token-file F: the queues hold "
                 "addresses and error texts");
  std::string token;
  if (!o.tokenFile.empty() && !ReadTokenFile(o.tokenFile, &token, &error)) {
    std::fprintf(stderr, "wqadmin: serve: %s\n", error.c_str());
    return 1;
  }

  // Only queues of the data directory: one place the operator named,
  // the place rswq and `tavlo show tasks` work on.
  const std::string dataDir = TavloDataDirectory();
  std::error_code ec;
  const fs::path dir = fs::weakly_canonical(fs::absolute(dataDir), ec);
  std::vector<std::string> queues;
  std::set<std::string> seen;
  for (const std::string& q : o.queues) {
    const fs::path path = fs::weakly_canonical(fs::absolute(wqadmin::ResolvedPath(q)), ec);
    if (ec || path.parent_path() != dir) {
      std::string why = wqadmin::Printable(q);
      why += " is not a queue of the data directory ";
      why += wqadmin::Printable(dir.string());
      why += " (serve takes the queues of one directory: --data DIR)";
      return Usage(why);
    }
    if (!seen.insert(q).second) continue;
    // Opened once now so a wrong name is said at once, not on every page.
    queue_handle_t h;
    if (!wqadmin::OpenQueueReadOnly(q, &h)) return 1;
    wqadmin::CloseQueue(q, &h);
    queues.push_back(q);
  }

  // The stop signals are taken by this thread alone: blocked here before
  // any server thread exists (they inherit the mask), waited for below.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client gone mid-answer is not our end

  ServeConfig config;
  config.queues = queues;
  config.dataDir = dataDir;
  config.tavloBinary = TavloBinary();
  config.listen = listen;
  config.token = token;
  Server server(config);
  if (!server.Bind(&error)) {
    std::fprintf(stderr, "wqadmin: serve: %s\n", error.c_str());
    return 1;
  }
  std::printf("wqadmin: serving %zu queue%s of %s at %s\n", queues.size(),
              queues.size() == 1 ? "" : "s", wqadmin::Printable(dir.string()).c_str(),
              server.Url().c_str());
  std::printf("Ctrl-C stops.\n");
  std::fflush(stdout);

  std::atomic<bool> ended{false};
  bool ran = true;
  std::thread serving([&] {
    ran = server.Run();
    ended = true;
  });
  while (!ended) {
    struct timespec wait = {0, 200 * 1000 * 1000};
    int sig = sigtimedwait(&stops, nullptr, &wait);
    if (sig == SIGINT || sig == SIGTERM) break;
  }
  // A stop that comes before the server is listening is lost: ask until
  // it has ended.
  while (!ended) {
    server.Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  serving.join();
  if (!ran) {
    std::fprintf(stderr, "wqadmin: serve: the server stopped unexpectedly\n");
    return 1;
  }
  std::printf("wqadmin: stopped\n");
  return 0;
}

}  // namespace wqserve
