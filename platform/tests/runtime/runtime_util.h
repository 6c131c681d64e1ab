// Shared fixtures of the runtime tests.
#ifndef TAVLO_TESTS_RUNTIME_UTIL_H_
#define TAVLO_TESTS_RUNTIME_UTIL_H_

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace rttest {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
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

// A fresh $TAVLO_DATA and no stop pending.
class DataDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tavlo-rt-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    tasks_ = dir_ + "/.tavlo/tasks";
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    AddInTestSetStopRequest(FALSE);
  }
  void TearDown() override {
    AddInSDKTerm(NOERROR);
    AddInTestSetStopRequest(FALSE);
    unsetenv("TAVLO_DATA");
    std::filesystem::remove_all(dir_);
  }
  std::string TaskFile(long pid, const char* ext = "task") const {
    return tasks_ + "/" + std::to_string(pid) + "." + ext;
  }

  std::string dir_, tasks_;
};

}  // namespace rttest

#endif  // TAVLO_TESTS_RUNTIME_UTIL_H_
