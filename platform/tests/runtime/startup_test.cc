// Start-up calls of the add-in shell and the data directory.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"

namespace fs = std::filesystem;

namespace {

class EnvGuard {
 public:
  EnvGuard() {
    const char* v = std::getenv("TAVLO_DATA");
    had_ = v != nullptr;
    if (had_) old_ = v;
  }
  ~EnvGuard() {
    if (had_) {
      setenv("TAVLO_DATA", old_.c_str(), 1);
    } else {
      unsetenv("TAVLO_DATA");
    }
  }

 private:
  bool had_;
  std::string old_;
};

TEST(DataDirectoryTest, ReadsEnvironmentOnEveryCall) {
  EnvGuard guard;
  unsetenv("TAVLO_DATA");
  EXPECT_STREQ(".", TavloDataDirectory());
  setenv("TAVLO_DATA", "/some/where", 1);
  EXPECT_STREQ("/some/where", TavloDataDirectory());
  setenv("TAVLO_DATA", "/else/where", 1);
  EXPECT_STREQ("/else/where", TavloDataDirectory());
  setenv("TAVLO_DATA", "", 1);
  EXPECT_STREQ(".", TavloDataDirectory());
}

TEST(StartupTest, InitExtendedChecksDataDirectory) {
  EnvGuard guard;
  char* argv[] = {const_cast<char*>("prog"), nullptr};
  unsetenv("TAVLO_DATA");
  EXPECT_EQ(NOERROR, TavloInitExtended(1, argv));
  char tmpl[] = "/tmp/tavlo-start-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  setenv("TAVLO_DATA", tmpl, 1);
  EXPECT_EQ(NOERROR, TavloInitExtended(1, argv));
  std::string missing = std::string(tmpl) + "/missing";
  setenv("TAVLO_DATA", missing.c_str(), 1);
  EXPECT_EQ(ERR_DATA_DIR, TavloInitExtended(1, argv));
  std::string file = std::string(tmpl) + "/file";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(nullptr, f);
  std::fclose(f);
  setenv("TAVLO_DATA", file.c_str(), 1);
  EXPECT_EQ(ERR_DATA_DIR, TavloInitExtended(1, argv));
  unsetenv("TAVLO_DATA");
  EXPECT_EQ(NOERROR, TavloInitExtended(0, nullptr));
  TavloTerm();
  fs::remove_all(tmpl);
}

TEST(StartupTest, ShellCallsSucceed) {
  EXPECT_EQ(NOERROR, TavloSDKMAINInit(nullptr, 0, nullptr, nullptr, nullptr));
  DHANDLE module = NULLHANDLE;
  EXPECT_EQ(NOERROR, TavloInitModule(&module, nullptr, nullptr));
  EXPECT_NE(NULLHANDLE, module);
  EXPECT_EQ(nullptr, OSLockObject(module)) << "not a memory handle";
  EXPECT_EQ(NOERROR, TavloInitModule(nullptr, nullptr, nullptr));
}

TEST(StartupTest, InitErrorText) {
  char buf[256];
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, buf, 255));
  EXPECT_STREQ(
      "Unable to start the Tavlo runtime: Data directory does not exist or "
      "cannot be used",
      buf);
  char tiny[10];
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, tiny, sizeof tiny));
  EXPECT_STREQ("Unable to", tiny);
  EXPECT_EQ(-1, TavloSDKMAINInitError(ERR_DATA_DIR, nullptr, 0));
}

TEST(StartupTest, ErrorText) {
  char buf[256];
  EXPECT_NE(0, TavloSDKMAINError(ERR_WQS_NO_QUEUE, buf, 255));
  EXPECT_STREQ("Queue database does not exist and was not to be created", buf);
  EXPECT_NE(0, TavloSDKMAINError(ERR_WQS_NO_QUEUE, buf, 0));
}

// Splits a copy of `line` and returns the arguments joined with '|'.
std::string Split(const char* line, int maxArgs = 20, int* count = nullptr) {
  char buf[256];
  std::strcpy(buf, line);
  char* argv[20];
  for (char*& a : argv) a = reinterpret_cast<char*>(1);
  int n = TavloSDKMAINParseArgs(buf, argv, maxArgs);
  if (count != nullptr) *count = n;
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i) out += '|';
    out += argv[i];
  }
  if (n < maxArgs) {
    EXPECT_EQ(nullptr, argv[n]) << "vector ends with null";
  }
  return out;
}

TEST(ParseArgsTest, Blanks) {
  int n;
  EXPECT_EQ("rswq", Split("rswq", 20, &n));
  EXPECT_EQ(1, n);
  EXPECT_EQ("a|b|c", Split("  a \t b   c  ", 20, &n));
  EXPECT_EQ(3, n);
  EXPECT_EQ("", Split("", 20, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ("", Split("   ", 20, &n));
  EXPECT_EQ(0, n);
}

TEST(ParseArgsTest, Quotes) {
  int n;
  EXPECT_EQ("rswq|C:\\Program Files\\x|-v", Split("rswq \"C:\\Program Files\\x\" -v", 20, &n));
  EXPECT_EQ(3, n);
  EXPECT_EQ("ab c|d", Split("a\"b c\" d", 20, &n));
  EXPECT_EQ("|x", Split("\"\" x", 20, &n)) << "an empty quoted argument counts";
  EXPECT_EQ(2, n);
  EXPECT_EQ("open ended", Split("\"open ended", 20, &n));
  EXPECT_EQ(1, n);
}

TEST(ParseArgsTest, AtMostMaxArgs) {
  int n;
  EXPECT_EQ("a|b", Split("a b c d", 2, &n));
  EXPECT_EQ(2, n);
  char buf[] = "x y";
  EXPECT_EQ(0, TavloSDKMAINParseArgs(buf, nullptr, 5));
  char* argv[2];
  EXPECT_EQ(0, TavloSDKMAINParseArgs(nullptr, argv, 2));
  EXPECT_EQ(0, TavloSDKMAINParseArgs(buf, argv, 0));
}

}  // namespace
