// Shared pieces of the dashboard's tests: a data directory of its own, the
// built commands run as children, messages written through the library,
// and the server running inside the test process (so the store's
// read-only counters see every file access it makes).
#ifndef WQSERVE_TESTS_SERVE_TEST_UTIL_H_
#define WQSERVE_TESTS_SERVE_TEST_UTIL_H_

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
// httplib brings in <resolv.h>, whose old macros STATUS and NOERROR would
// rewrite the runtime's names below.
#undef STATUS
#undef NOERROR

#include "serve/server.h"
#include "tavlo/runtime.h"
#include "wqs/wqs.h"

namespace servetest {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

struct Result {
  int code = -1;
  std::string out;
};

// Runs a shell command line, standard output captured, standard error
// left to the test's log.
inline Result Shell(const std::string& command) {
  Result r;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A fresh data directory, the runtime started on it, removed at the end.
class ServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "wq-serve-XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    setenv("TAVLO_SYNC", "normal", 1);
    static char arg0[] = "serve_tests";
    static char* argv[] = {arg0, nullptr};
    ASSERT_EQ(NOERROR, TavloInitExtended(1, argv));
  }
  void TearDown() override {
    server_.reset();  // stops and joins before the runtime goes
    TavloTerm();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // `wqadmin --data DIR ARGS`.
  Result Admin(const std::string& args) {
    return Shell(std::string(WQADMIN_BINARY) + " --data " + Quote(dir_) + " " + args);
  }
  json AdminJson(const std::string& args) {
    Result r = Admin(args);
    EXPECT_EQ(0, r.code) << args;
    return json::parse(r.out, nullptr, false);
  }

  // One message written through the library: a recipient, an error text,
  // a status.  Returns its note id.
  NOTEID AddMessage(const std::string& queue, const std::string& recipient,
                    const std::string& errText, DWORD status) {
    queue_descriptor_t qd{};
    std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", queue.c_str());
    queue_handle_t q;
    msg_handle_t m;
    EXPECT_EQ(NOERROR, WQSOpenQueueForWrite(&qd, FALSE, &q));
    EXPECT_EQ(NOERROR, WQSCreateMsg(&q, WQS_MSG_EXTENDED, &m));
    recip_info_t r{};
    r.pName = const_cast<char*>(recipient.data());
    r.wNameLen = static_cast<WORD>(recipient.size());
    r.pNextHop = const_cast<char*>("mx1.example.net");
    r.wNextHopLen = 15;
    r.pPOName = const_cast<char*>("PO-1");
    r.wPONameLen = 4;
    EXPECT_EQ(NOERROR, WQSAppendRecipient(&m, &r));
    EXPECT_EQ(NOERROR, WQSAddDWORD(&m, TRUE, "WQMsgStatus", status));
    EXPECT_EQ(NOERROR, WQSAddDataBlock(&m, FALSE, "WQErrStr", errText.data(),
                                       static_cast<WORD>(errText.size())));
    EXPECT_EQ(NOERROR, WQSCloseAndSaveMsg(&m));
    user_msg_info_t* info;
    WQSGetMsgInfo(&m, &info);
    NOTEID id = info->dwQueueMsgID;
    EXPECT_EQ(NOERROR, WQSCloseQueueForWrite(&q));
    return id;
  }

  // Serves `queues` on a free loopback port, in a thread of this process,
  // with the task list from `tavlo`.
  void Serve(const std::vector<std::string>& queues, const std::string& token = "",
             const std::string& tavlo = TAVLO_BINARY) {
    wqserve::ServeConfig c;
    c.queues = queues;
    c.dataDir = dir_;
    c.tavloBinary = tavlo;
    std::string error;
    ASSERT_TRUE(wqserve::ParseListen("127.0.0.1:0", &c.listen, &error)) << error;
    c.token = token;
    server_ = std::make_unique<Running>(c);
    ASSERT_TRUE(server_->server.Bind(&error)) << error;
    server_->Start();
  }
  int Port() const { return server_->server.Port(); }
  std::string Url() const { return server_->server.Url(); }
  std::unique_ptr<httplib::Client> Client() {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", Port());
    c->set_read_timeout(60, 0);
    return c;
  }
  // GET `path`; the answer's body parsed (discarded when not JSON).
  json GetJson(const std::string& path, int want = 200) {
    auto res = Client()->Get(path);
    EXPECT_TRUE(res) << path;
    if (!res) return json();
    EXPECT_EQ(want, res->status) << path << ": " << res->body;
    return json::parse(res->body, nullptr, false);
  }

  std::string dir_;

 private:
  struct Running {
    explicit Running(wqserve::ServeConfig c) : server(std::move(c)) {}
    void Start() {
      thread = std::thread([this] {
        server.Run();
        ended = true;
      });
    }
    ~Running() {
      // Stop until it has stopped: a stop before it listens is lost.
      while (!ended) {
        server.Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      thread.join();
    }
    wqserve::Server server;
    std::thread thread;
    std::atomic<bool> ended{false};
  };
  std::unique_ptr<Running> server_;
};

}  // namespace servetest

#endif  // WQSERVE_TESTS_SERVE_TEST_UTIL_H_
