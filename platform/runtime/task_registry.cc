// Task registry files; see task_registry.h for the layout.

#include "task_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace tavlo_rt {

namespace {

std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string Unescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

bool ParseLong(const std::string& s, long long* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0') return false;
  *out = v;
  return true;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  return errno == EEXIST && IsDirectory(path);
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string TaskDirectory(const std::string& dataDir) {
  std::string dir = dataDir.empty() ? "." : dataDir;
  if (dir.back() != '/') dir += '/';
  return dir + ".tavlo/tasks";
}

std::string TaskFilePath(const std::string& taskDir, long pid) {
  return taskDir + "/" + std::to_string(pid) + ".task";
}

std::string QuitFilePath(const std::string& taskDir, long pid) {
  return taskDir + "/" + std::to_string(pid) + ".quit";
}

bool EnsureTaskDirectory(const std::string& dataDir) {
  std::string dir = dataDir.empty() ? "." : dataDir;
  // Never create the data directory itself: a missing one is a mistake the
  // store will report, not something to paper over here.
  if (!IsDirectory(dir)) return false;
  if (dir.back() != '/') dir += '/';
  return MakeDirectory(dir + ".tavlo") && MakeDirectory(dir + ".tavlo/tasks");
}

std::string EncodeTaskRecord(const TaskRecord& rec) {
  return "name=" + Escape(rec.name) + "\npid=" + std::to_string(rec.pid) +
         "\nstarted=" + std::to_string(rec.started) +
         "\nstatus=" + Escape(rec.status) + "\n";
}

bool DecodeTaskRecord(const std::string& text, TaskRecord* rec) {
  TaskRecord out;
  bool have_name = false, have_pid = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    long long n;
    if (key == "name") {
      out.name = Unescape(value);
      have_name = true;
    } else if (key == "pid") {
      if (!ParseLong(value, &n) || n <= 0) return false;
      out.pid = static_cast<long>(n);
      have_pid = true;
    } else if (key == "started") {
      if (ParseLong(value, &n)) out.started = n;
    } else if (key == "status") {
      out.status = Unescape(value);
    }
  }
  if (!have_name || !have_pid) return false;
  *rec = out;
  return true;
}

bool WriteTaskRecord(const std::string& path, const TaskRecord& rec) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ENOENT) {
    // Another task that ended removed the emptied registry directories
    // under us: make them again and retry once.
    std::string taskDir = path.substr(0, path.rfind('/'));
    MakeDirectory(taskDir.substr(0, taskDir.rfind('/')));
    MakeDirectory(taskDir);
    fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  if (fd < 0) return false;
  bool ok = WriteAll(fd, EncodeTaskRecord(rec));
  ok = (close(fd) == 0) && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool ReadTaskRecord(const std::string& path, TaskRecord* rec) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > (1u << 20)) break;  // not a record of ours
  }
  close(fd);
  return DecodeTaskRecord(text, rec);
}

std::vector<TaskRecord> ListTaskRecords(const std::string& taskDir) {
  std::vector<TaskRecord> out;
  DIR* d = opendir(taskDir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    const std::string suffix = ".task";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    TaskRecord rec;
    if (ReadTaskRecord(taskDir + "/" + name, &rec)) out.push_back(rec);
  }
  closedir(d);
  std::sort(out.begin(), out.end(), [](const TaskRecord& a, const TaskRecord& b) {
    return a.name != b.name ? a.name < b.name : a.pid < b.pid;
  });
  return out;
}

bool ProcessAlive(long pid) {
  if (pid <= 0) return false;
  // EPERM means the process exists but belongs to someone else.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

void RemoveTaskFiles(const std::string& taskDir, long pid) {
  unlink(TaskFilePath(taskDir, pid).c_str());
  unlink(QuitFilePath(taskDir, pid).c_str());
}

}  // namespace tavlo_rt
