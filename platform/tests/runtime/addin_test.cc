// The add-in task: log lines, stop requests and the task registry entry.

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "runtime_util.h"

namespace fs = std::filesystem;
using rttest::ReadFile;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class AddInTest : public rttest::DataDirTest {
 protected:
  STATUS Start() {
    char* argv[] = {const_cast<char*>("/opt/tavlo/bin/rtask"), nullptr};
    return AddInSDKInit(1, argv);
  }
  std::string Own(const char* ext = "task") { return TaskFile(getpid(), ext); }
};

TEST_F(AddInTest, LogLineFormat) {
  char* argv[] = {const_cast<char*>("/usr/local/bin/rswq"), nullptr};
  ASSERT_EQ(NOERROR, TavloInitExtended(1, argv));
  CaptureStdout();
  AddInLogMessageText("Opening: %s", 0, "smtpibwq.fix");
  AddInLogMessageText("Error", ERR_WQS_NO_QUEUE);
  std::string out = GetCapturedStdout();
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  rswq: ";
  const std::string cause =
      "Error: Queue database does not exist and was not to be created";
  std::regex want(stamp + "Opening: smtpibwq.fix\n" +  //
                  stamp + cause + " \\(status 13280\\)\n");
  EXPECT_TRUE(std::regex_match(out, want)) << out;
}

TEST_F(AddInTest, RegistryEntryAppearsAndDisappears) {
  ASSERT_EQ(NOERROR, Start());
  std::string rec = ReadFile(Own());
  EXPECT_NE(std::string::npos, rec.find("name=rtask\n")) << rec;
  EXPECT_NE(std::string::npos, rec.find("pid=" + std::to_string(getpid()) + "\n"));
  EXPECT_EQ(ERR_WQS_CORRUPT, AddInSDKTerm(ERR_WQS_CORRUPT));
  EXPECT_FALSE(fs::exists(Own()));
}

TEST_F(AddInTest, StopBySigtermOrQuitFile) {
  for (bool signal : {true, false}) {
    ASSERT_EQ(NOERROR, Start());
    EXPECT_EQ(FALSE, AddInIdle());
    if (signal) {
      ASSERT_EQ(0, raise(SIGTERM));
    } else {
      std::ofstream(Own("quit")).close();
    }
    EXPECT_EQ(TRUE, AddInIdle()) << signal;
    AddInSDKTerm(NOERROR);
    AddInTestSetStopRequest(FALSE);
  }
}

}  // namespace
