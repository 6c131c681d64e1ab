// `tavlo show tasks` and `tavlo tell <task> quit`, over the task registry
// that running add-in tasks keep in the data directory.

#include "task_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "../runtime/task_registry.h"
#include "tavlo/runtime.h"

namespace tavlo_console {

namespace {

// Records of tasks still running.  A record whose process is gone was left
// by a task that was killed; it is removed so it is not shown again.
std::vector<tavlo_rt::TaskRecord> RunningTasks(const std::string& taskDir) {
  std::vector<tavlo_rt::TaskRecord> running;
  for (const tavlo_rt::TaskRecord& rec : tavlo_rt::ListTaskRecords(taskDir)) {
    if (tavlo_rt::ProcessAlive(rec.pid)) {
      running.push_back(rec);
    } else {
      tavlo_rt::RemoveTaskFiles(taskDir, rec.pid);
    }
  }
  return running;
}

std::string StartedText(int64_t micros) {
  TIMEDATE t;
  TimeFromMicros(micros, &t);
  char buf[64];
  TimeToText(&t, buf, sizeof buf);
  return buf;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// One row per task; a status line with line breaks is shown on one row.
std::string OneLine(const std::string& s) {
  std::string out = s;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return out;
}

}  // namespace

int ShowTasks(const std::string& dataDir, bool json) {
  std::vector<tavlo_rt::TaskRecord> tasks =
      RunningTasks(tavlo_rt::TaskDirectory(dataDir));
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const tavlo_rt::TaskRecord& t : tasks) {
      out.push_back({{"name", t.name},
                     {"pid", t.pid},
                     {"started", StartedText(t.started)},
                     {"status", t.status}});
    }
    // Replace rather than fail on bytes that are not UTF-8.
    std::printf("%s\n",
                out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                    .c_str());
    return 0;
  }
  if (tasks.empty()) {
    std::printf("No tasks running\n");
    return 0;
  }
  size_t width = 4;  // "Task"
  for (const tavlo_rt::TaskRecord& t : tasks) width = std::max(width, t.name.size());
  std::printf("%-*s  %-8s  %-19s  %s\n", static_cast<int>(width), "Task", "PID",
              "Started", "Status");
  for (const tavlo_rt::TaskRecord& t : tasks) {
    std::printf("%-*s  %-8ld  %-19s  %s\n", static_cast<int>(width),
                OneLine(t.name).c_str(), t.pid, StartedText(t.started).c_str(),
                OneLine(t.status).c_str());
  }
  return 0;
}

int TellQuit(const std::string& dataDir, const std::string& task) {
  std::string taskDir = tavlo_rt::TaskDirectory(dataDir);
  int asked = 0;
  int failed = 0;
  for (const tavlo_rt::TaskRecord& t : RunningTasks(taskDir)) {
    if (!SameName(t.name, task)) continue;
    std::string path = tavlo_rt::QuitFilePath(taskDir, t.pid);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "Cannot ask %s (pid %ld) to stop: cannot create %s\n",
                   t.name.c_str(), t.pid, path.c_str());
      ++failed;
      continue;
    }
    close(fd);
    std::printf("Asked %s (pid %ld) to stop\n", t.name.c_str(), t.pid);
    ++asked;
  }
  if (asked == 0 && failed == 0) {
    std::fprintf(stderr, "No task named %s is running in %s\n", task.c_str(),
                 dataDir.c_str());
    return 1;
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace tavlo_console
