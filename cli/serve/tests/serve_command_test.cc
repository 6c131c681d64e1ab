// `wqadmin serve` itself, as an operator runs it: the address it prints is
// the one that answers, Ctrl-C and SIGTERM end it with exit 0, and each
// option or queue it cannot serve is refused before anything listens, with
// its exit code and a message that names the fault.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <fstream>
#include <regex>

#include "serve/tests/serve_test_util.h"

extern char** environ;

namespace servetest {
namespace {

// A `wqadmin serve` child: its standard output read line by line, its
// standard error kept in a file.
class ServeChild {
 public:
  ServeChild(const std::string& dataDir, const std::vector<std::string>& args)
      : errPath_(dataDir + "/serve.err") {
    int fds[2];
    EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, errPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all = {WQADMIN_BINARY, "--data", dataDir, "serve"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(0, posix_spawn(&pid_, WQADMIN_BINARY, &fa, nullptr, argv.data(), environ));
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
  }
  ~ServeChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (out_) std::fclose(out_);
  }

  // The next line it prints, "" at its end.
  std::string Line() {
    char buf[4096];
    if (!std::fgets(buf, sizeof buf, out_)) return "";
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // Sends `sig` and returns the exit code (-1: killed by a signal).
  int Stop(int sig) {
    kill(pid_, sig);
    return Wait();
  }
  std::string Err() const {
    std::ifstream in(errPath_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string errPath_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

class ServeCommandTest : public ServeTest {
 protected:
  // `wqadmin serve ARGS` expected to refuse at once: its exit code and
  // everything it said.
  Result Refused(const std::string& args) {
    return Shell("timeout 20 " + std::string(WQADMIN_BINARY) + " --data " + Quote(dir_) +
                 " serve " + args + " 2>&1");
  }
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
};

TEST_F(ServeCommandTest, ServesAtThePrintedAddressUntilASignal) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 5 --status 9 --quiet").code);
  int port = 0;
  {
    // A queue named twice is served once; port 0 takes a free one.
    ServeChild serve(dir_, {"q.qds", "q.qds", "--listen", "127.0.0.1:0"});
    const std::string line = serve.Line();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex(
        "wqadmin: serving 1 queue of (.*) at http://127\\.0\\.0\\.1:([0-9]+)/"))) << line << serve.Err();
    EXPECT_EQ(fs::canonical(dir_).string(), m[1].str());
    port = std::stoi(m[2]);
    EXPECT_EQ("Ctrl-C stops.", serve.Line());

    httplib::Client client("127.0.0.1", port);
    auto res = client.Get("/api/stats");
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status) << res->body;
    EXPECT_EQ(5, json::parse(res->body)["total"]);
    // The tasks come from the tavlo built beside this wqadmin.
    res = client.Get("/api/tasks");
    ASSERT_TRUE(res);
    EXPECT_EQ(200, res->status) << res->body;
    EXPECT_EQ(json::array(), json::parse(res->body));

    // The port is taken while it serves: a second server is refused.
    Result busy = Refused("q.qds --listen 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(1, busy.code);
    EXPECT_NE(std::string::npos,
              busy.out.find("cannot listen on 127.0.0.1:" + std::to_string(port) + ": "))
        << busy.out;

    EXPECT_EQ(0, serve.Stop(SIGINT)) << serve.Err();
    EXPECT_EQ("wqadmin: stopped", serve.Line());
  }

  // Away from loopback with a token file (its line's blanks are not part
  // of the token), on the port just freed: the printed address carries the
  // login code, the token lets an API client in, SIGTERM ends it.
  const std::string token = "0123456789abcdef-token";
  WriteFile("token", "  " + token + " \nsecond line\n");
  ServeChild serve(dir_, {"q.qds", "--listen", "0.0.0.0:" + std::to_string(port),
                          "--token-file", dir_ + "/token"});
  const std::string line = serve.Line();
  EXPECT_NE(std::string::npos,
            line.find(" at http://0.0.0.0:" + std::to_string(port) + "/?code="))
      << line << serve.Err();
  serve.Line();
  httplib::Client client("127.0.0.1", port);
  EXPECT_EQ(401, client.Get("/api/queues")->status);
  auto res = client.Get("/api/queues", {{"Authorization", "Bearer " + token}});
  ASSERT_TRUE(res);
  EXPECT_EQ(200, res->status);
  EXPECT_EQ((json{{"queues", {{{"name", "q.qds"}}}}}), json::parse(res->body));
  EXPECT_EQ(0, serve.Stop(SIGTERM)) << serve.Err();
}

TEST_F(ServeCommandTest, WhatCannotBeServedIsRefusedBeforeListening) {
  ASSERT_EQ(0, Admin("create q.qds").code);
  WriteFile("short", "tooshort\n");
  WriteFile("empty", "");
  const std::string other = dir_ + "/sub";
  fs::create_directory(other);
  struct Case {
    std::string args;
    int code;
    std::string says;
  } cases[] = {
      {"q.qds --listen localhost:8025", 2, "'localhost' is not an IPv4 address"},
      {"q.qds --listen 127.0.0.1", 2, "'127.0.0.1' is not HOST:PORT"},
      {"q.qds --listen 127.0.0.1:65536", 2, "'65536' is not a port number"},
      {"q.qds --listen [::1]8025", 2, "is not [IPV6]:PORT"},
      {"q.qds --listen [::g]:8025", 2, "'::g' is not an IPv6 address"},
      {"q.qds --listen 0.0.0.0:0", 2, "0.0.0.0:0, which is not a loopback address, needs --token-file"},
      {"q.qds --listen [::]:0", 2, "[::]:0, which is not a loopback address"},
      {"q.qds --token-file " + Quote(dir_ + "/none"), 1, "--token-file: cannot read"},
      {"q.qds --token-file " + Quote(dir_ + "/empty"), 1, "--token-file: cannot read"},
      {"q.qds --token-file " + Quote(dir_ + "/short"), 1, "shorter than 16 characters"},
      {"nothere.qds --listen 127.0.0.1:0", 1, "cannot open queue"},
      {Quote(other + "/q.qds") + " --listen 127.0.0.1:0", 2,
       "is not a queue of the data directory"},
      {"../q.qds --listen 127.0.0.1:0", 2, "is not a queue of the data directory"},
      {"--listen 127.0.0.1:0", 2, "QUEUE is required"},
  };
  for (const Case& c : cases) {
    Result r = Refused(c.args);
    EXPECT_EQ(c.code, r.code) << c.args << ": " << r.out;
    EXPECT_NE(std::string::npos, r.out.find(c.says)) << c.args << ": " << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("serving")) << c.args;
  }
}

}  // namespace
}  // namespace servetest
