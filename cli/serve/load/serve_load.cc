// A bounded load test of `wqadmin serve` on loopback: N clients for S
// seconds mixing /api/list pages, /api/show and /api/tasks, plus one
// /api/stats a second.  Every answer must be 200 or 503 (busy, by design);
// anything else, or a failed connection, is an error and the exit code 1.
//
//   serve_load --port P [--host 127.0.0.1] [--clients 20] [--seconds 10]
//              [--token T]
//
// It only ever talks to the loopback address it is given, and stops by
// itself.  cli/serve/load_test.sh runs it against a seeded queue and
// measures the server's memory around it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace {

using Clock = std::chrono::steady_clock;

struct Tally {
  uint64_t ok = 0, busy = 0, errors = 0;
  std::vector<double> ms;
};

std::mutex g_mu;
std::map<std::string, Tally> g_tally;
std::map<std::string, uint64_t> g_errorKinds;

void Record(const std::string& what, const httplib::Result& res, double ms) {
  std::lock_guard<std::mutex> lock(g_mu);
  Tally& t = g_tally[what];
  if (!res) {
    t.errors++;
    g_errorKinds[what + ": " + httplib::to_string(res.error())]++;
    return;
  }
  if (res->status == 200) {
    t.ok++;
    t.ms.push_back(ms);
  } else if (res->status == 503) {
    t.busy++;
  } else {
    t.errors++;
    g_errorKinds[what + ": HTTP " + std::to_string(res->status)]++;
  }
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", token;
  int port = 0, clients = 20, seconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--host") host = v;
    else if (k == "--port") port = std::atoi(v.c_str());
    else if (k == "--clients") clients = std::atoi(v.c_str());
    else if (k == "--seconds") seconds = std::atoi(v.c_str());
    else if (k == "--token") token = v;
  }
  // Loopback only: this tool is for the machine it runs on.
  if (port <= 0 || (host.rfind("127.", 0) != 0 && host != "::1") || clients < 1 ||
      clients > 200 || seconds < 1 || seconds > 600) {
    std::fprintf(stderr, "usage: serve_load --port P [--host 127.x.x.x|::1] "
                         "[--clients 1..200] [--seconds 1..600] [--token T]\n");
    return 2;
  }
  auto client = [&] {
    auto c = std::make_unique<httplib::Client>(host, port);
    c->set_connection_timeout(5, 0);
    c->set_read_timeout(30, 0);
    if (!token.empty()) c->set_bearer_token_auth(token.c_str());
    return c;
  };

  // The note ids to show: the first pages of the queue.
  std::vector<uint32_t> ids;
  {
    auto c = client();
    std::string after = "0";
    for (int page = 0; page < 10 && !after.empty(); page++) {
      auto res = c->Get("/api/list?limit=1000&after=" + after);
      if (!res || res->status != 200) {
        std::fprintf(stderr, "serve_load: cannot list the queue: %s\n",
                     res ? ("HTTP " + std::to_string(res->status)).c_str()
                         : httplib::to_string(res.error()).c_str());
        return 1;
      }
      for (const auto& row : nlohmann::json::parse(res->body))
        ids.push_back(row["note_id"].get<uint32_t>());
      after = res->get_header_value("X-Next-After");
    }
  }
  if (ids.empty()) {
    std::fprintf(stderr, "serve_load: the queue is empty\n");
    return 1;
  }

  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int n = 0; n < clients; n++) {
    threads.emplace_back([&, n] {
      auto c = client();
      std::mt19937 rng(1234 + n);
      while (Clock::now() < end) {
        const int pick = static_cast<int>(rng() % 100);
        std::string what, path;
        const uint32_t id = ids[rng() % ids.size()];
        if (pick < 50) {
          what = "list";
          path = "/api/list?limit=50&after=" + std::to_string(id);
        } else if (pick < 85) {
          what = "show";
          path = "/api/show/" + std::to_string(id);
        } else {
          what = "tasks";
          path = "/api/tasks";
        }
        const Clock::time_point t0 = Clock::now();
        auto res = c->Get(path);
        Record(what, res, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (res && res->status == 503) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  threads.emplace_back([&] {
    auto c = client();
    for (Clock::time_point next = Clock::now(); next < end; next += std::chrono::seconds(1)) {
      std::this_thread::sleep_until(next);
      const Clock::time_point t0 = Clock::now();
      auto res = c->Get("/api/stats");
      Record("stats", res, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
  });
  for (auto& t : threads) t.join();

  uint64_t errors = 0, ok = 0, busy = 0;
  std::printf("%-6s %8s %8s %7s %9s %9s %9s\n", "call", "ok", "503", "errors", "p50 ms",
              "p95 ms", "max ms");
  for (const auto& [what, t] : g_tally) {
    std::printf("%-6s %8llu %8llu %7llu %9.1f %9.1f %9.1f\n", what.c_str(),
                static_cast<unsigned long long>(t.ok), static_cast<unsigned long long>(t.busy),
                static_cast<unsigned long long>(t.errors), Percentile(t.ms, 0.5),
                Percentile(t.ms, 0.95), Percentile(t.ms, 1.0));
    errors += t.errors;
    ok += t.ok;
    busy += t.busy;
  }
  std::printf("%d clients, %d s: %llu answered, %llu busy (503), %llu errors, %.0f requests/s\n",
              clients, seconds, static_cast<unsigned long long>(ok),
              static_cast<unsigned long long>(busy), static_cast<unsigned long long>(errors),
              (ok + busy) / static_cast<double>(seconds));
  for (const auto& [kind, n] : g_errorKinds)
    std::printf("  error %s: %llu\n", kind.c_str(), static_cast<unsigned long long>(n));
  return errors == 0 ? 0 : 1;
}
