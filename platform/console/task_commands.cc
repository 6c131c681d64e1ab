// `tavlo show tasks` and `tavlo tell <task> quit`, over the task registry
// that running add-in tasks keep in the data directory.

#include "task_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Output that did not reach its reader is a failure (exit 1, the cause on
// standard error), not a silent success.
int Flushed() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  std::fprintf(stderr, "tavlo: cannot write standard output: %s\n",
               std::strerror(errno != 0 ? errno : EIO));
  return 1;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Task names (from argv[0]) and status lines are whatever bytes the task
// had.  JSON gets them by the rule wqadmin's output follows: valid UTF-8 as
// it is; anything else with U+FFFD per byte outside a well-formed sequence
// and the exact bytes in base64 beside it as "<name>_b64".  (The platform
// does not reach up into wqadmin's sources, so the rule is written out
// here again, briefly.)
size_t Utf8SequenceAt(const std::string& s, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  unsigned char c = at(0);
  if (c < 0x80) return 1;
  size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
           : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  unsigned char lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
  unsigned char hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  if (at(1) < lo || at(1) > hi) return 0;
  for (size_t k = 2; k < n; k++)
    if (at(k) < 0x80 || at(k) > 0xBF) return 0;
  return n;
}

std::string Base64(const std::string& s) {
  static const char k[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < s.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(s[i]) << 16;
    if (i + 1 < s.size()) v |= static_cast<unsigned char>(s[i + 1]) << 8;
    if (i + 2 < s.size()) v |= static_cast<unsigned char>(s[i + 2]);
    out += k[v >> 18];
    out += k[(v >> 12) & 63];
    out += i + 1 < s.size() ? k[(v >> 6) & 63] : '=';
    out += i + 2 < s.size() ? k[v & 63] : '=';
  }
  return out;
}

void SetText(nlohmann::ordered_json& obj, const std::string& name,
             const std::string& s) {
  std::string text;
  bool exact = true;
  for (size_t i = 0; i < s.size();) {
    size_t n = Utf8SequenceAt(s, i);
    if (n == 0) {
      text += "\xEF\xBF\xBD";
      exact = false;
      i++;
    } else {
      text.append(s, i, n);
      i += n;
    }
  }
  obj[name] = text;
  if (!exact) obj[name + "_b64"] = Base64(s);
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
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const tavlo_rt::TaskRecord& t : tasks) {
      nlohmann::ordered_json e;
      SetText(e, "name", t.name);
      e["pid"] = t.pid;
      e["started"] = StartedText(t.started);
      SetText(e, "status", t.status);
      out.push_back(e);
    }
    std::printf("%s\n", out.dump(2).c_str());
    return Flushed();
  }
  if (tasks.empty()) {
    std::printf("No tasks running\n");
    return Flushed();
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
  return Flushed();
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
