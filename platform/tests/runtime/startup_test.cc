// Start-up calls of the add-in shell, the data directory, argument
// splitting and the status texts.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "runtime_util.h"

namespace {

using StartupTest = rttest::DataDirTest;

TEST_F(StartupTest, DataDirectoryIsCheckedOnEveryCall) {
  char* argv[] = {const_cast<char*>("prog"), nullptr};
  EXPECT_EQ(NOERROR, TavloInitExtended(1, argv));
  EXPECT_STREQ(dir_.c_str(), TavloDataDirectory());
  std::ofstream(dir_ + "/file").close();
  for (std::string bad : {dir_ + "/missing", dir_ + "/file"}) {
    setenv("TAVLO_DATA", bad.c_str(), 1);
    EXPECT_STREQ(bad.c_str(), TavloDataDirectory());
    EXPECT_EQ(ERR_DATA_DIR, TavloInitExtended(1, argv)) << bad;
  }
  for (bool unset : {true, false}) {
    if (unset) unsetenv("TAVLO_DATA"); else setenv("TAVLO_DATA", "", 1);
    EXPECT_STREQ(".", TavloDataDirectory());
    EXPECT_EQ(NOERROR, TavloInitExtended(0, nullptr));
  }
  TavloTerm();
}

TEST(StartupErrorTest, ShellErrorTexts) {
  char buf[256], tiny[10];
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, buf, 255));
  EXPECT_STREQ(
      "Unable to start the Tavlo runtime: Data directory does not exist or "
      "cannot be used",
      buf);
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, tiny, sizeof tiny));
  EXPECT_STREQ("Unable to", tiny);
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, nullptr, 0));
  EXPECT_NE(0, TavloSDKMAINError(ERR_WQS_NO_QUEUE, buf, 255));
  EXPECT_STREQ("Queue database does not exist and was not to be created", buf);
}

std::string TextOf(STATUS s) {
  char buf[256];
  WORD n = TavloStatusText(s, buf, sizeof buf);
  EXPECT_EQ(std::strlen(buf), n);
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
      ERR_BAD_COLLECTION, ERR_DB_PATH, ERR_FORMULA_SYNTAX,
      ERR_FORMULA_TOO_BIG, ERR_BAD_FORMULA, ERR_WQS_GENERAL, ERR_WQS_NO_QUEUE,
      ERR_WQS_NO_TEMPLATE, ERR_WQS_NO_MESSAGES, ERR_WQS_NO_FIELD,
      ERR_WQS_CORRUPT, ERR_WQS_RECIP_RANGE, ERR_WQS_NAME_TOO_LONG};
  std::set<std::string> seen;
  for (STATUS s : codes) {
    std::string t = TextOf(s);
    EXPECT_EQ(std::string::npos, t.find("Unknown")) << s << ": " << t;
    EXPECT_GT(t.size(), 8u) << s;
    EXPECT_TRUE(seen.insert(t).second) << "text used twice: " << t;
    EXPECT_EQ(t, TextOf(0x8000 | s)) << "the hidden bit is ignored";
  }
  EXPECT_EQ("No error", TextOf(0));
  EXPECT_EQ("Item not found", TextOf(546));
  EXPECT_EQ("Queue database does not exist and was not to be created",
            TextOf(13280));
  EXPECT_EQ("No messages selected by the view", TextOf(13282));
  EXPECT_EQ("Unknown error (status 4660)", TextOf(0x1234));
  EXPECT_EQ("Unknown error (status 4660)", TextOf(0x9234));
  char buf[5];
  EXPECT_EQ(4, TavloStatusText(ERR_ITEM_NOT_FOUND, buf, sizeof buf));
  EXPECT_STREQ("Item", buf);
  EXPECT_EQ(0, TavloStatusText(ERR_ITEM_NOT_FOUND, buf, 0));
  EXPECT_EQ(0, TavloStatusText(ERR_ITEM_NOT_FOUND, nullptr, 10));
}

// Splits a copy of `line` into at most `maxArgs` arguments joined by '|'
// and checks the count and the terminating null.
void ExpectSplit(const char* line, int maxArgs, int count,
                 const std::string& joined) {
  char buf[256];
  std::strcpy(buf, line);
  char* argv[20];
  for (char*& a : argv) a = reinterpret_cast<char*>(1);
  int n = TavloSDKMAINParseArgs(buf, argv, maxArgs);
  EXPECT_EQ(count, n) << line;
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i) out += '|';
    out += argv[i];
  }
  EXPECT_EQ(joined, out) << line;
  if (n < maxArgs) {
    EXPECT_EQ(nullptr, argv[n]) << line;
  }
}

TEST(ParseArgsTest, BlanksQuotesAndLimit) {
  ExpectSplit("rswq", 20, 1, "rswq");
  ExpectSplit("  a \t b   c  ", 20, 3, "a|b|c");
  ExpectSplit("", 20, 0, "");
  ExpectSplit("   ", 20, 0, "");
  ExpectSplit("rswq \"C:\\Program Files\\x\" -v", 20, 3,
              "rswq|C:\\Program Files\\x|-v");
  ExpectSplit("a\"b c\" d", 20, 2, "ab c|d");
  ExpectSplit("\"\" x", 20, 2, "|x");  // an empty quoted argument counts
  ExpectSplit("\"open ended", 20, 1, "open ended");
  ExpectSplit("a b c d", 2, 2, "a|b");
  char buf[] = "x y";
  char* argv[2];
  EXPECT_EQ(0, TavloSDKMAINParseArgs(buf, nullptr, 5));
  EXPECT_EQ(0, TavloSDKMAINParseArgs(nullptr, argv, 2));
  EXPECT_EQ(0, TavloSDKMAINParseArgs(buf, argv, 0));
}

}  // namespace
