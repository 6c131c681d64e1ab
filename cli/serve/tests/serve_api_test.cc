// The dashboard's API against the command it mirrors: each endpoint's
// document equals what `wqadmin ... --json` (or `tavlo show tasks --json`)
// prints for the same queue, pages walk every message once, hostile
// requests and store failures get their status codes and the server goes
// on answering, and the token rules hold.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <fstream>
#include <set>

#include <sqlite3.h>

#include "serve/access.h"
#include "serve/tests/serve_test_util.h"
#include "tavlo/runtime.h"

namespace servetest {
namespace {

// Sends `request` as it stands on a connection of its own: the answer's
// status code and body, "status body".
std::string Exchange(int port, const std::string& request) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval wait = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    // Up to the end of the body: the server may keep the connection open.
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) {
      answer.append(buf, n);
      const size_t end = answer.find("\r\n\r\n");
      const size_t length = answer.find("Content-Length: ");
      if (end != std::string::npos && length < end &&
          answer.size() >= end + 4 + std::stoul(answer.substr(length + 16)))
        break;
    }
  }
  close(fd);
  const size_t end = answer.find("\r\n\r\n");
  if (answer.size() < 12 || end == std::string::npos) return "no answer: " + answer;
  return answer.substr(9, 3) + " " + answer.substr(end + 4);
}

class ServeApiTest : public ServeTest {
 protected:
  void Seed() {
    ASSERT_EQ(0, Admin("create q.qds").code);
    ASSERT_EQ(0, Admin("seed q.qds --count 60 --status 11 --seed 3 --quiet").code);
    ASSERT_EQ(0, Admin("seed q.qds --count 40 --status 6 --type 1 --seed 4 --quiet").code);
    ASSERT_EQ(0, Admin("seed q.qds --count 30 --status 9 --recipients 2 --seed 5 --quiet").code);
    latin1_ = AddMessage("q.qds", "m\xFC" "ller@example.org", "550 \xE9" "chec", 10);
  }
  NOTEID latin1_ = 0;
};

TEST_F(ServeApiTest, EveryEndpointEqualsTheCommandsJson) {
  Seed();
  Serve({"q.qds"});
  const std::string now = "2026-12-06T12:00:00Z";
  EXPECT_EQ(AdminJson("stats q.qds --json --now " + now),
            GetJson("/api/stats?now=" + now));

  // shape has no --now: its clock is compared apart, the rest must match.
  const struct {
    std::string query, args;
  } shapes[] = {{"", ""},
                {"?by=hop&top=2&status=11", " --by hop --top 2 --status 11"},
                {"?by=status&age=received", " --by status --age received"},
                {"?to=%40example.org", " --to @example.org"}};
  for (const auto& c : shapes) {
    json want = AdminJson("shape q.qds --json" + c.args);
    json got = GetJson("/api/shape" + c.query);
    ASSERT_TRUE(got.contains("now")) << got;
    want.erase("now");
    got.erase("now");
    EXPECT_EQ(want, got) << c.query;
  }

  // list: every message in one page, and a filtered one; the non-UTF-8
  // recipient comes with its exact bytes.
  json all = AdminJson("list q.qds --json");
  ASSERT_EQ(131u, all.size());
  EXPECT_EQ(all, GetJson("/api/list?limit=1000"));
  EXPECT_EQ(AdminJson("list q.qds --json --status 9 --formula 'WQMsgStatus = 9 | WQMsgStatus = 11' "
                      "--error rejected"),
            GetJson("/api/list?status=9&formula=WQMsgStatus%20%3D%209%20%7C%20WQMsgStatus%20%3D%2011"
                    "&error=rejected"));
  json last = GetJson("/api/list?after=" + std::to_string(latin1_ - 1) + "&limit=1");
  ASSERT_EQ(1u, last.size());
  EXPECT_EQ("bfxsbGVyQGV4YW1wbGUub3Jn", last[0]["first_recipient_b64"]);

  // show: the first, a middle and the last message.
  for (const json& row : {all[0], all[70], all[130]}) {
    const std::string id = row["note_id"].dump();
    EXPECT_EQ(AdminJson("show q.qds " + id + " --json"), GetJson("/api/show/" + id)) << id;
  }

  // tasks: this process registered as a task with a count on its status
  // line, as tavlo lists it; the progress adds its count.
  char name[] = "serve_tests";
  char* argv[] = {name, nullptr};
  ASSERT_EQ(NOERROR, AddInSDKInit(1, argv));
  AddInSetStatusText("Counting Message: %d", 42);
  (void)AddInIdle();  // shows a throttled status change
  Result tavlo = Shell(std::string(TAVLO_BINARY) + " --data " + Quote(dir_) + " show tasks --json");
  ASSERT_EQ(0, tavlo.code);
  json tasks = json::parse(tavlo.out);
  ASSERT_EQ(1u, tasks.size()) << tasks;
  EXPECT_EQ(tasks, GetJson("/api/tasks"));
  json progress = GetJson("/api/progress");
  ASSERT_EQ(1u, progress.size());
  EXPECT_EQ(42, progress[0]["count"]);
  EXPECT_EQ(tasks[0]["status"], progress[0]["status"]);
  AddInSDKTerm(NOERROR);

  // The cached answer is the last fresh one, at once.
  json fresh = GetJson("/api/stats");
  EXPECT_EQ(fresh, GetJson("/api/stats?cached=1"));
  EXPECT_EQ((json{{"queues", {{{"name", "q.qds"}}}}}), GetJson("/api/queues"));
}

TEST_F(ServeApiTest, PagesByNoteIdReturnEveryMessageOnce) {
  Seed();
  Serve({"q.qds"});
  for (const std::string filter : {"", "&status=11", "&to=%40example.com"}) {
    std::vector<NOTEID> want;
    std::string args = filter.empty() ? "" : filter == "&status=11" ? " --status 11" : " --to @example.com";
    for (const json& r : AdminJson("list q.qds --json" + args)) want.push_back(r["note_id"]);
    ASSERT_FALSE(want.empty());
    std::vector<NOTEID> got;
    std::string after = "0";
    auto client = Client();
    for (int pages = 0; !after.empty(); pages++) {
      ASSERT_LT(pages, 100);
      auto res = client->Get("/api/list?limit=7&after=" + after + filter);
      ASSERT_TRUE(res);
      ASSERT_EQ(200, res->status) << res->body;
      json page = json::parse(res->body);
      ASSERT_LE(page.size(), 7u);
      for (const json& r : page) got.push_back(r["note_id"]);
      after = res->get_header_value("X-Next-After");
      if (!after.empty()) {
        EXPECT_EQ(page.back()["note_id"].dump(), after);
      }
    }
    EXPECT_EQ(want, got) << filter;
  }
}

TEST_F(ServeApiTest, HostileRequestsGetTheirStatusAndTheServerGoesOn) {
  Seed();
  ASSERT_EQ(0, Admin("create other.qds").code);
  Serve({"q.qds", "other.qds"});
  const std::string q = "queue=q.qds";
  struct Case {
    std::string path;
    int status;
  } cases[] = {
      {"/../etc/passwd", 404},
      {"/api/../../etc/passwd", 404},
      {"/api/show/..%2F..%2Fetc%2Fpasswd?" + q, 404},
      {"/api/show/..?" + q, 400},
      {"/api/show/0?" + q, 400},
      {"/api/show/4294967296?" + q, 400},
      {"/api/show/99999999999999999999999999?" + q, 400},
      {"/api/show/-1?" + q, 400},
      {"/api/show/4294967295?" + q, 404},
      {"/api/show/1?" + q, 404},  // a view, not a message
      {"/api/list?limit=0&" + q, 400},
      {"/api/list?limit=1001&" + q, 400},
      {"/api/list?limit=18446744073709551617&" + q, 400},
      {"/api/list?after=4294967296&" + q, 400},
      {"/api/list?after=1e3&" + q, 400},
      {"/api/list?after=1&after=2&" + q, 400},
      {"/api/list?formula=WQMsgStatus%20%3D%20(9&" + q, 400},
      {"/api/list?status=nine&" + q, 400},
      {"/api/list?id=-&" + q, 400},
      {"/api/list?to=nobody&" + q, 400},
      {"/api/list?retry-before=yesterday&" + q, 400},
      {"/api/list?bogus=1&" + q, 400},
      {"/api/shape?by=file&" + q, 400},
      {"/api/shape?top=100000000000&" + q, 400},
      {"/api/stats?now=soon&" + q, 400},
      {"/api/stats?cached=2&" + q, 400},
      {"/api/stats?cached=1&now=2026-12-06T12:00:00Z&" + q, 400},
      {"/api/shape?cached=1&queue=nothere.qds", 404},
      {"/api/stats", 400},  // two queues: which one?
      {"/api/stats?queue=../q.qds", 404},
      {"/api/stats?queue=/etc/passwd", 404},
      {"/api/stats?queue=" + dir_ + "/q.qds", 404},
      {"/api/list?queue=q.qds%00x", 404},
      {"/api/nothing", 404},
      {"/index.html", 404},
      {"/api/stats?queue=other.qds", 200},
  };
  auto client = Client();
  for (const Case& c : cases) {
    auto res = client->Get(c.path);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(c.status, res->status) << c.path << ": " << res->body;
    json body = json::parse(res->body, nullptr, false);
    if (c.status != 200) {
      EXPECT_TRUE(body.is_object() && body["error"].is_string()) << c.path;
    }
  }
  // A formula's fault is pointed at.
  json bad = GetJson("/api/list?formula=WQMsgStatus%20%3D%20(9&" + q, 400);
  EXPECT_EQ(1, bad["line"]);
  EXPECT_EQ("WQMsgStatus = (9", bad["formula"]);

  auto raw = [&](const std::string& request) {
    httplib::Headers h;
    return client->Get(request, h);
  };
  // Not a GET; another Host (a rebinding page); an oversized line.
  EXPECT_EQ(405, client->Post("/api/stats?" + q, "", "text/plain")->status);
  EXPECT_EQ(405, client->Delete("/api/show/8?" + q)->status);
  auto evil = client->Get("/api/stats?" + q, {{"Host", "evil.example:" + std::to_string(Port())}});
  ASSERT_TRUE(evil);
  EXPECT_EQ(403, evil->status);
  EXPECT_EQ(403, client->Get("/", {{"Host", "localhost.evil.example"}})->status);
  auto huge = raw("/api/list?formula=" + std::string(20000, 'x') + "&" + q);
  ASSERT_TRUE(huge);
  EXPECT_EQ(414, huge->status);
  // What httplib refuses by itself comes with a JSON reason as well.
  EXPECT_EQ("400 {\"error\":\"bad request\"}", Exchange(Port(), "NONSENSE\r\n\r\n"));

  // Still answering, with the right data.
  EXPECT_EQ(131, GetJson("/api/stats?" + q)["total"]);
}

// Changes a queue file nobody has open behind the store's back, the way a
// faulty writer or a bad disk would.
void Corrupt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr));
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr));
  ASSERT_EQ(SQLITE_OK, sqlite3_close(db));
}

// A damaged message, a queue taken away and a file that is no queue are
// each answered with their own status and cause; the rest is still served.
TEST_F(ServeApiTest, StoreFailuresAreNamedAndTheOtherQueuesServed) {
  Seed();
  ASSERT_EQ(0, Admin("create gone.qds").code);
  ASSERT_EQ(0, Admin("create junk.qds").code);
  const std::string bad = AdminJson("list q.qds --json")[3]["note_id"].dump();
  Corrupt(dir_ + "/q.qds", "UPDATE items SET value = x'01' WHERE k = " + bad + " << 24;");
  // As if done after the command opened them: gone.qds moved away for the
  // reset procedure, junk.qds overwritten.
  fs::rename(dir_ + "/gone.qds", dir_ + "/gone.qds.old");
  std::ofstream(dir_ + "/junk.qds", std::ios::trunc) << std::string(8192, 'j');
  Serve({"q.qds", "gone.qds", "junk.qds"});

  json j = GetJson("/api/show/" + bad + "?queue=q.qds", 422);
  EXPECT_EQ(0u, j["error"].get<std::string>().find("message " + bad + " is damaged: ")) << j;
  j = GetJson("/api/stats?queue=gone.qds", 404);
  EXPECT_EQ(0u, j["error"].get<std::string>().find("cannot open queue gone.qds: ")) << j;
  j = GetJson("/api/list?queue=junk.qds", 500);
  EXPECT_EQ(0u, j["error"].get<std::string>().find("cannot open queue junk.qds: ")) << j;
  EXPECT_EQ(131, GetJson("/api/stats?queue=q.qds")["total"]);
}

TEST_F(ServeApiTest, AwayFromLoopbackOnlyTheTokenOrItsOneTimeCodeLetsIn) {
  Seed();
  const std::string token = "0123456789abcdef-secret";
  Serve({"q.qds"}, token);
  const std::string url = Url();
  const size_t at = url.find("?code=");
  ASSERT_NE(std::string::npos, at) << url;
  const std::string code = url.substr(at + 6);

  auto client = Client();
  EXPECT_EQ(401, client->Get("/api/stats")->status);
  EXPECT_EQ(401, client->Get("/")->status);
  EXPECT_EQ(401, client->Get("/api/stats", {{"Authorization", "Bearer wrong"}})->status);
  EXPECT_EQ(401, client->Get("/?code=" + std::string(code.size(), '0'))->status);
  EXPECT_EQ(200, client->Get("/api/stats", {{"Authorization", "Bearer " + token}})->status);

  // The code logs a browser in once: a cookie only the server can read
  // back, never sent cross-site; the code is then spent.
  auto login = client->Get("/?code=" + code);
  ASSERT_TRUE(login);
  EXPECT_EQ(303, login->status);
  const std::string cookie = login->get_header_value("Set-Cookie");
  EXPECT_NE(std::string::npos, cookie.find("HttpOnly")) << cookie;
  EXPECT_NE(std::string::npos, cookie.find("SameSite=Strict")) << cookie;
  const std::string session = cookie.substr(0, cookie.find(';'));
  EXPECT_EQ(200, client->Get("/", {{"Cookie", session}})->status);
  EXPECT_EQ(200, client->Get("/api/list?limit=1", {{"Cookie", "a=b; " + session}})->status);
  EXPECT_EQ(401, client->Get("/api/list", {{"Cookie", session + "x"}})->status);
  EXPECT_EQ(401, client->Get("/?code=" + code)->status);

  // IPv6's loopback is loopback too, printed in brackets.
  wqserve::ListenAddress a;
  std::string error;
  ASSERT_TRUE(wqserve::ParseListen("[::1]:8025", &a, &error));
  EXPECT_TRUE(a.loopback);
  EXPECT_EQ("[::1]:8025", a.HostPort());
}

}  // namespace
}  // namespace servetest
