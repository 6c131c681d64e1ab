// The task list and rswq's progress: every way `tavlo show tasks` can fail
// is named, rswq's failed messages left are counted down by its status line
// into a time left, and API calls beyond the in-flight limit are turned
// away at once while the others wait.
#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "serve/tasks.h"
#include "serve/tests/serve_test_util.h"
#include "tavlo/runtime.h"

namespace servetest {
namespace {

class ServeTasksTest : public ServeTest {
 protected:
  // A stand-in for tavlo: a shell script in the data directory.
  std::string FakeTavlo(const std::string& name, const std::string& body) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  // This process registered as a task named `name` with `status`.
  void RegisterTask(const char* name) {
    static char arg0[64];
    std::snprintf(arg0, sizeof arg0, "/opt/bin/%s", name);
    static char* argv[] = {arg0, nullptr};
    ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  }
  void SetStatus(const std::string& status) {
    AddInSetStatusText("%s", status.c_str());
    (void)AddInIdle();  // shows a throttled status change
  }
  void TearDown() override {
    AddInSDKTerm(NOERROR);
    ServeTest::TearDown();
  }
};

TEST_F(ServeTasksTest, EachWayTavloFailsIsNamed) {
  struct Case {
    std::string tavlo, dataDir, error;
  } cases[] = {
      {dir_ + "/none", dir_, "cannot run " + dir_ + "/none: No such file or directory"},
      {TAVLO_BINARY, dir_ + "/none", "tavlo show tasks failed (exit 1)"},
      {FakeTavlo("killed", "kill -9 $$"), dir_, "tavlo show tasks failed (exit 137)"},
      {FakeTavlo("object", "echo '{\"pid\": 1}'"), dir_, "tavlo show tasks printed no task list"},
      {FakeTavlo("garbage", "echo 'No tasks running'"), dir_, "tavlo show tasks printed no task list"},
      {FakeTavlo("flood", "head -c 5000000 /dev/zero"), dir_, "tavlo show tasks did not answer"},
  };
  for (const Case& c : cases) {
    json out = "untouched";
    std::string error;
    EXPECT_FALSE(wqserve::RunShowTasks(c.tavlo, c.dataDir, &out, &error)) << c.tavlo;
    EXPECT_EQ(c.error, error) << c.tavlo;
    EXPECT_EQ("untouched", out);
  }
  // Through the API the cause comes back as a 500's error text.
  Serve({}, "", dir_ + "/killed");
  EXPECT_EQ("tavlo show tasks failed (exit 137)", GetJson("/api/tasks", 500)["error"]);
}

TEST_F(ServeTasksTest, RswqsFailedMessagesAreCountedDownIntoATimeLeft) {
  ASSERT_EQ(0, Admin("create smtpibwq.fix").code);
  ASSERT_EQ(0, Admin("seed smtpibwq.fix --count 10 --status 11 --quiet").code);
  ASSERT_EQ(0, Admin("seed smtpibwq.fix --count 3 --status 6 --quiet").code);
  ASSERT_EQ(0, Admin("create q.qds").code);
  Serve({"q.qds", "smtpibwq.fix"});
  RegisterTask("rswq");

  // The first sight: the failed messages counted in its queue, no rate yet.
  SetStatus("ReQueueing Message: 2");
  json p = GetJson("/api/progress");
  ASSERT_EQ(1u, p.size()) << p;
  EXPECT_EQ((json{2, nullptr, 10, nullptr}),
            (json{p[0]["count"], p[0]["per_second"], p[0]["failed_left"], p[0]["eta_seconds"]}));

  // Four more requeued a little later: six left, at the rate measured.
  std::this_thread::sleep_for(wqserve::TaskWatch::kFresh + std::chrono::milliseconds(100));
  SetStatus("ReQueueing Message: 6");
  p = GetJson("/api/progress");
  ASSERT_EQ(1u, p.size()) << p;
  EXPECT_EQ(6, p[0]["count"]);
  EXPECT_EQ(6, p[0]["failed_left"]);
  ASSERT_TRUE(p[0]["per_second"].is_number()) << p;
  const double rate = p[0]["per_second"];
  EXPECT_GT(rate, 0);
  EXPECT_NEAR(6 / rate, p[0]["eta_seconds"].get<double>(), 1e-6);
}

TEST_F(ServeTasksTest, RswqsTimeLeftNeedsItsQueueServed) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("create smtpibwq.fix").code);
  ASSERT_EQ(0, Admin("seed smtpibwq.fix --count 3 --status 6 --quiet").code);
  RegisterTask("rswq");
  SetStatus("ReQueueing Message: 5");

  // Its queue not served: nothing to count down.
  Serve({"q.qds"});
  json p = GetJson("/api/progress");
  ASSERT_EQ(1u, p.size()) << p;
  EXPECT_EQ((json{5, nullptr, nullptr}), (json{p[0]["count"], p[0]["failed_left"], p[0]["eta_seconds"]}));

  // Served, with no failed message in it: done, no time left.
  Serve({"smtpibwq.fix"});
  p = GetJson("/api/progress");
  ASSERT_EQ(1u, p.size()) << p;
  EXPECT_EQ((json{5, 0, 0}), (json{p[0]["count"], p[0]["failed_left"], p[0]["eta_seconds"]}));
}

TEST_F(ServeTasksTest, CallsBeyondTheInFlightLimitAreTurnedAwayAtOnce) {
  // A tavlo that answers only when told: the first call waits in it and
  // the next ones wait for that call's answer, all of them in flight.
  const std::string go = dir_ + "/go";
  Serve({}, "", FakeTavlo("slow", "while [ ! -e " + go + " ]; do sleep 0.02; done; echo '[]'"));
  constexpr int kCalls = wqserve::Server::kMaxInFlight + 4;
  std::atomic<int> answered{0};
  std::vector<int> status(kCalls, 0);
  std::vector<std::string> retry(kCalls);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCalls; i++)
    threads.emplace_back([&, i] {
      auto res = Client()->Get("/api/tasks");
      if (res) {
        status[i] = res->status;
        retry[i] = res->get_header_value("Retry-After");
        if (res->status == 503) {
          EXPECT_NE(std::string::npos, json::parse(res->body)["error"].get<std::string>().find("busy"));
        }
      }
      answered++;
    });
  for (int waited = 0; answered < kCalls - wqserve::Server::kMaxInFlight && waited < 500; waited++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::ofstream(go) << "";
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wqserve::Server::kMaxInFlight, std::count(status.begin(), status.end(), 200));
  EXPECT_EQ(kCalls - wqserve::Server::kMaxInFlight, std::count(status.begin(), status.end(), 503));
  for (int i = 0; i < kCalls; i++) EXPECT_TRUE(status[i] != 503 || retry[i] == "1") << retry[i];
}

}  // namespace
}  // namespace servetest
