// The page in a real browser: headless Chromium loads it from the server
// on a seeded queue, and the DOM it built must show what `stats --json` and
// `list --json` say.  Hostile texts in the queue (markup in a recipient
// name and an error text) must arrive as text, with no element of theirs
// in the DOM.  A screenshot is left in the build folder for people.
#include <regex>

#include "serve/tests/serve_test_util.h"

namespace servetest {
namespace {

std::string Chromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
    if (access(path, X_OK) == 0) return path;
  return "";
}

class ServeBrowserTest : public ServeTest {
 protected:
  // Runs headless Chromium on the page with `what` (--dump-dom or
  // --screenshot=FILE); its output.  Virtual time lets the page's requests
  // and timers run without the test waiting on the wall clock.
  Result Browse(const std::string& what) {
    std::string profile = (fs::path(dir_) / "chromium-XXXXXX").string();
    EXPECT_NE(nullptr, mkdtemp(profile.data()));
    return Shell("timeout 60 " + Chromium() +
               " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
               " --disable-background-networking --disable-component-update --disable-sync"
               " --no-proxy-server --hide-scrollbars --window-size=1400,1500"
               " --user-data-dir=" + Quote(profile) + " --virtual-time-budget=8000 " + what +
               " " + Quote(Url()) + " 2>/dev/null");
  }
};

TEST_F(ServeBrowserTest, PageShowsTheCommandsNumbersAndHostileTextAsText) {
  if (Chromium().empty()) GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh)";
  ASSERT_EQ(0, Admin("create q.qds").code);
  // The hostile message first, so it is on the table's first page.
  const std::string script = "<script>document.title='owned'</script>@evil.example";
  const std::string img = "\"><img src=x onerror=\"document.title='owned'\">";
  AddMessage("q.qds", script, img, 9);
  ASSERT_EQ(0, Admin("seed q.qds --count 40 --status 11 --seed 7 --quiet").code);
  ASSERT_EQ(0, Admin("seed q.qds --count 25 --status 6 --type 1 --seed 8 --quiet").code);
  Serve({"q.qds"});

  Result dom = Browse("--dump-dom");
  ASSERT_EQ(0, dom.code);
  const std::string& html = dom.out;
  ASSERT_NE(std::string::npos, html.find("id=\"count-total\"")) << html.substr(0, 2000);

  // The totals are the command's.
  json stats = AdminJson("stats q.qds --json");
  auto count = [&](const std::string& id) {
    std::smatch m;
    std::regex re("id=\"" + id + "\" data-value=\"(\\d+)\"");
    return std::regex_search(html, m, re) ? std::stoll(m[1]) : -1;
  };
  EXPECT_EQ(stats["total"].get<long long>(), count("count-total"));
  EXPECT_EQ(stats["failed"].get<long long>(), count("count-failed"));
  for (const auto& [status, n] : stats["by_status"].items())
    EXPECT_EQ(n.get<long long>(), count("count-status-" + status)) << status;

  // The first rows are list's first rows, in order, with their recipients.
  json list = AdminJson("list q.qds --json");
  std::vector<long long> ids;
  std::regex row("<tr data-id=\"(\\d+)\">");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), row); it != std::sregex_iterator(); ++it)
    ids.push_back(std::stoll((*it)[1]));
  ASSERT_EQ(std::min<size_t>(50, list.size()), ids.size());
  for (size_t i = 0; i < ids.size(); i++) EXPECT_EQ(list[i]["note_id"].get<long long>(), ids[i]);
  EXPECT_NE(std::string::npos, html.find(">" + list[1]["first_recipient"].get<std::string>() + "<"));

  // The hostile message is shown as text: escaped in the markup, and no
  // element of its own (the page has exactly one script, no image).
  EXPECT_NE(std::string::npos,
            html.find("&lt;script&gt;document.title='owned'&lt;/script&gt;@evil.example"));
  EXPECT_NE(std::string::npos, html.find("\"&gt;&lt;img src=x onerror=\"document.title='owned'\"&gt;"));
  EXPECT_EQ(std::string::npos, html.find("<img"));
  size_t scripts = 0;
  for (size_t at = html.find("<script"); at != std::string::npos; at = html.find("<script", at + 1))
    scripts++;
  EXPECT_EQ(1u, scripts);
  EXPECT_EQ(std::string::npos, html.find("<title>owned"));

  // A picture for people.
  const std::string shot = std::string(SCREENSHOT_DIR) + "/serve_dashboard.png";
  std::remove(shot.c_str());
  ASSERT_EQ(0, Browse("--screenshot=" + Quote(shot)).code);
  EXPECT_GT(fs::exists(shot) ? fs::file_size(shot) : 0, 10000u) << shot;
}

}  // namespace
}  // namespace servetest
