// Start-up calls of the add-in shell; status texts; time stamp constants,
// ordering and texts.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime_util.h"

namespace {

std::string TextOf(STATUS s) {
  char buf[256];
  TavloStatusText(s, buf, sizeof buf);
  return buf;
}

TEST(StatusTextTest, EveryCodeHasItsOwnText) {
  const STATUS codes[] = {
      ERR_MEMORY, ERR_BAD_HANDLE, ERR_NOEXIST, ERR_LOCKED, ERR_BAD_ARG,
      ERR_LIST_INDEX, ERR_LIST_FULL, ERR_LIST_CORRUPT, ERR_INIT_FAILED,
      ERR_NOT_INITED, ERR_DATA_DIR, ERR_ITEM_NOT_FOUND, ERR_NOTE_NOT_FOUND,
      ERR_BAD_NOTE, ERR_BAD_DB, ERR_NOT_A_DB, ERR_DB_BUSY, ERR_DB_EXISTS,
      ERR_DB_IO, ERR_DB_CORRUPT, ERR_OBJECT_NOT_FOUND, ERR_OBJECT_RANGE,
      ERR_ITEM_TOO_BIG, ERR_NOTE_DELETED, ERR_VIEW_NOT_FOUND,
      ERR_BAD_COLLECTION, ERR_DB_PATH, ERR_DB_READONLY, ERR_DISK_FULL,
      ERR_FORMULA_SYNTAX,
      ERR_FORMULA_TOO_BIG, ERR_BAD_FORMULA, ERR_WQS_GENERAL, ERR_WQS_NO_QUEUE,
      ERR_WQS_NO_TEMPLATE, ERR_WQS_NO_MESSAGES, ERR_WQS_NO_FIELD,
      ERR_WQS_CORRUPT, ERR_WQS_RECIP_RANGE, ERR_WQS_NAME_TOO_LONG};
  std::set<std::string> seen;
  for (STATUS s : codes) {
    std::string t = TextOf(s);
    EXPECT_EQ(std::string::npos, t.find("Unknown")) << s << ": " << t;
    EXPECT_TRUE(seen.insert(t).second) << "text used twice: " << t;
  }
}

TIMEDATE Make(int64_t micros) {
  TIMEDATE t;
  TimeFromMicros(micros, &t);
  return t;
}

TIMEDATE Constant(WORD which) {
  TIMEDATE t;
  TimeConstant(which, &t);
  return t;
}

// A signed 64-bit order, not word by word.
TEST(TimeTest, ConstantsAndNowInOrder) {
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  const TIMEDATE order[] = {Constant(TIMEDATE_WILDCARD),
                            Constant(TIMEDATE_MINIMUM),
                            Make(-1),
                            Make(1),
                            Make(0x100000000LL),
                            now,
                            Constant(TIMEDATE_MAXIMUM)};
  for (size_t i = 0; i + 1 < std::size(order); ++i) {
    EXPECT_LT(TimeDateCompare(&order[i], &order[i + 1]), 0) << i;
  }
}

// Blanks separate arguments except inside quotes, which are dropped; the
// vector is null-terminated when there is room, and never overrun.
TEST(StartupTest, ParseArgsSplitsKeepsQuotedBlanksAndStopsAtTheLimit) {
  const struct {
    const char* line;
    int max;
    std::vector<std::string> args;
  } cases[] = {
      {"  rswq  -a\t\"two words\" x\"y z\"w  ", 8, {"rswq", "-a", "two words", "xy zw"}},
      {"a b c d", 2, {"a", "b"}},
      {"last", 1, {"last"}},
      {" \t ", 4, {}},
  };
  for (const auto& c : cases) {
    std::string line = c.line;
    char* argv[9];
    std::fill(std::begin(argv), std::end(argv), reinterpret_cast<char*>(1));
    int argc = TavloSDKMAINParseArgs(line.data(), argv, c.max);
    ASSERT_EQ(static_cast<int>(c.args.size()), argc) << c.line;
    for (int i = 0; i < argc; ++i) EXPECT_EQ(c.args[i], argv[i]) << c.line;
    EXPECT_EQ(argc < c.max ? nullptr : reinterpret_cast<char*>(1), argv[argc]) << c.line;
    EXPECT_EQ(reinterpret_cast<char*>(1), argv[c.max]) << c.line;  // past the room
  }
  char* argv[2];
  EXPECT_EQ(0, TavloSDKMAINParseArgs(nullptr, argv, 2));
}

// The texts the shell shows: the start-up one says the runtime could not
// start; both ignore the quiet bit, fit the buffer, and answer as the shell
// expects (the exit code -1; "show it in a window").
TEST(StartupTest, ErrorTextsFitTheBufferAndAnswer) {
  char buf[256];
  EXPECT_EQ(-1, TavloSDKMAINInitError(0x8000 | ERR_DATA_DIR, buf, 255));
  EXPECT_EQ("Unable to start the Tavlo runtime: " + TextOf(ERR_DATA_DIR), buf);
  EXPECT_EQ(1, TavloSDKMAINError(ERR_WQS_NO_QUEUE, buf, 255));
  EXPECT_EQ(TextOf(ERR_WQS_NO_QUEUE), buf);
  EXPECT_EQ(1, TavloSDKMAINError(ERR_WQS_NO_QUEUE, buf, 6));
  EXPECT_STREQ("Queue", buf);
  buf[0] = 'x';
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, buf, 0));
  EXPECT_EQ('x', buf[0]);
}

// A named data directory must exist and be a directory; the module handle
// is never a memory handle.
TEST(StartupTest, InitChecksTheDataDirectoryAndModuleIsNoMemoryHandle) {
  char tmpl[] = "/tmp/tavlo-start-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string dir = tmpl, file = dir + "/plain";
  std::ofstream(file).put('x');
  char* argv[] = {const_cast<char*>("/bin/rswq"), nullptr};
  const struct { const char* data; STATUS want; } cases[] = {
      {nullptr, NOERROR}, {"", NOERROR}, {dir.c_str(), NOERROR},
      {file.c_str(), ERR_DATA_DIR}, {"/nonexistent/tavlo", ERR_DATA_DIR}};
  for (const auto& c : cases) {
    if (c.data) setenv("TAVLO_DATA", c.data, 1); else unsetenv("TAVLO_DATA");
    EXPECT_EQ(c.want, TavloInitExtended(1, argv)) << (c.data ? c.data : "unset");
  }
  unsetenv("TAVLO_DATA");
  std::filesystem::remove_all(dir);
  EXPECT_EQ(NOERROR, TavloSDKMAINInit(nullptr, 1, argv, nullptr, nullptr));
  DHANDLE module = NULLHANDLE;
  EXPECT_EQ(NOERROR, TavloInitModule(&module, nullptr, nullptr));
  EXPECT_NE(NULLHANDLE, module);
  EXPECT_EQ(nullptr, OSLockObject(module));
  EXPECT_EQ(NOERROR, TavloInitModule(nullptr, nullptr, nullptr));
}

TEST(TimeTest, TextOfSpecialAndOrdinaryTimes) {
  char buf[32];
  const std::pair<TIMEDATE, std::string> cases[] = {
      {Constant(TIMEDATE_WILDCARD), "wildcard"},
      {Constant(TIMEDATE_MINIMUM), "minimum"},
      {Constant(TIMEDATE_MAXIMUM), "maximum"},
      {Make(INT64_MAX - 1), "@" + std::to_string(INT64_MAX - 1)}};
  for (const auto& [t, text] : cases) {
    EXPECT_EQ(text.size(), TimeToText(&t, buf, sizeof buf));
    EXPECT_EQ(text, buf);
  }
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  EXPECT_EQ(19, TimeToText(&now, buf, sizeof buf)) << buf;  // YYYY-MM-DD HH:MM:SS
  EXPECT_EQ(4, TimeToText(&now, buf, 5));
  EXPECT_EQ(0, TimeToText(&now, nullptr, 5));
}

}  // namespace
