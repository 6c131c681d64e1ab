// Running the built binaries from the tool tests.
#ifndef TOOL_TESTS_RUN_UTIL_H_
#define TOOL_TESTS_RUN_UTIL_H_

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}

struct RunResult {
  int code;
  std::string out, err;
};

// Runs `binary args` to its end in `dir`, which is also its data directory.
inline RunResult RunBinary(const std::string& binary, const std::string& dir,
                           const std::string& args = "") {
  std::string out = dir + "/.stdout", err = dir + "/.stderr";
  std::string cmd = "cd '" + dir + "' && TAVLO_DATA='" + dir + "' '" + binary +
                    "' " + args + " >'" + out + "' 2>'" + err + "' </dev/null";
  int rc = std::system(cmd.c_str());
  RunResult r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return r;
}

#endif  // TOOL_TESTS_RUN_UTIL_H_
