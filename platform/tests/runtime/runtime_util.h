// Shared fixtures of the runtime tests: a memory baseline that every test
// must return to, and a private $TAVLO_DATA with a clean stop state.
#ifndef TAVLO_TESTS_RUNTIME_UTIL_H_
#define TAVLO_TESTS_RUNTIME_UTIL_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace rttest {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Fault injection off around each test, and no block left behind.
class MemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OSMemTestDisarm();
    before_ = OSMemTestTotalBlocks();
  }
  void TearDown() override {
    OSMemTestDisarm();
    EXPECT_EQ(before_, OSMemTestTotalBlocks()) << "test leaked blocks";
  }
  DWORD before_ = 0;
};

// A fresh data directory in $TAVLO_DATA (the old value restored after),
// no stop request pending, and no task context left behind.
class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TAVLO_DATA");
    had_data_ = old != nullptr;
    if (had_data_) old_data_ = old;
    char tmpl[] = "/tmp/tavlo-rt-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    tasks_ = dir_ + "/.tavlo/tasks";
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
  }
  void TearDown() override {
    AddInSDKTerm(NOERROR);
    AddInTestSetLogSink(nullptr, nullptr);
    AddInTestSetStatusSink(nullptr, nullptr);
    AddInTestSetStopRequest(FALSE);
    AddInTestStopAfterPolls(0);
    if (had_data_) {
      setenv("TAVLO_DATA", old_data_.c_str(), 1);
    } else {
      unsetenv("TAVLO_DATA");
    }
    chmod(dir_.c_str(), 0700);
    std::filesystem::remove_all(dir_);
  }
  // The registry file of a task with `pid` ("task" or "quit").
  std::string TaskFile(long pid, const char* ext = "task") const {
    return tasks_ + "/" + std::to_string(pid) + "." + ext;
  }

  std::string dir_, tasks_;
  bool had_data_ = false;
  std::string old_data_;
};

}  // namespace rttest

#endif  // TAVLO_TESTS_RUNTIME_UTIL_H_
