// The running tasks of the data directory (see tasks.h).
#include "serve/tasks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace wqserve {

namespace {

// A task list is a few hundred bytes a task; anything near this is not
// tavlo's answer.
constexpr size_t kMaxOutput = 4 << 20;
constexpr int kTimeoutMs = 5000;

}  // namespace

bool RunShowTasks(const std::string& tavloBinary, const std::string& dataDir,
                  nlohmann::ordered_json* out, std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The server blocks the stop signals in its threads to take them in one
  // place; the child must get them as usual.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> args = {tavloBinary, "--data", dataDir, "show", "tasks", "--json"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, tavloBinary.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    *error = "cannot run " + tavloBinary + ": " + std::strerror(rc);
    return false;
  }
  std::string text;
  bool timedOut = false;
  char buf[4096];
  for (;;) {
    struct pollfd p = {fds[0], POLLIN, 0};
    int ready = poll(&p, 1, kTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = true;
      break;
    }
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxOutput) {
      timedOut = true;
      break;
    }
  }
  close(fds[0]);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timedOut) {
    *error = "tavlo show tasks did not answer";
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "tavlo show tasks failed (exit " +
             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) +
             ")";
    return false;
  }
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_array()) {
    *error = "tavlo show tasks printed no task list";
    return false;
  }
  *out = std::move(j);
  return true;
}

std::optional<uint64_t> StatusCount(const std::string& status) {
  size_t end = status.find_last_of("0123456789");
  if (end == std::string::npos) return std::nullopt;
  size_t begin = status.find_last_not_of("0123456789", end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  if (end + 1 - begin > 19) return std::nullopt;  // not a count that fits
  return std::stoull(status.substr(begin, end + 1 - begin));
}

TaskWatch::TaskWatch(std::string tavloBinary, std::string dataDir, FailedCounter failed)
    : tavlo_(std::move(tavloBinary)), dataDir_(std::move(dataDir)), failed_(std::move(failed)) {}

bool TaskWatch::Refresh(std::string* error) {
  const Clock::time_point now = Clock::now();
  if (haveLast_ && now - fetched_ < kFresh) return true;
  nlohmann::ordered_json j;
  if (!RunShowTasks(tavlo_, dataDir_, &j, error)) return false;
  last_ = std::move(j);
  fetched_ = now;
  haveLast_ = true;
  return true;
}

bool TaskWatch::Tasks(nlohmann::ordered_json* out, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Refresh(error)) return false;
  *out = last_;
  return true;
}

bool TaskWatch::Progress(nlohmann::ordered_json* out, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!Refresh(error)) return false;
  const Clock::time_point now = Clock::now();
  nlohmann::ordered_json tasks = nlohmann::ordered_json::array();
  for (const auto& t : last_) {
    if (!t.is_object() || !t.contains("pid") || !t["pid"].is_number_integer()) continue;
    nlohmann::ordered_json e = t;
    const long pid = t["pid"].get<long>();
    const std::string status = t.value("status", "");
    const std::string name = t.value("name", "");
    History& h = history_[pid];
    h.seen = now;
    const std::optional<uint64_t> count = StatusCount(status);
    if (count) {
      // A count that went down is a new run under a reused pid.
      if (!h.samples.empty() && *count < h.samples.back().count) h = History{{}, false, 0, 0, {}, now};
      if (h.samples.empty() || now - h.samples.back().at >= std::chrono::milliseconds(250))
        h.samples.push_back({now, *count});
      while (h.samples.size() > 2 && now - h.samples.front().at > kWindow) h.samples.pop_front();
    }
    std::optional<double> rate;
    if (h.samples.size() >= 2) {
      const double secs =
          std::chrono::duration<double>(h.samples.back().at - h.samples.front().at).count();
      if (secs > 0) rate = (h.samples.back().count - h.samples.front().count) / secs;
    }
    e["count"] = count ? nlohmann::ordered_json(*count) : nlohmann::ordered_json(nullptr);
    e["per_second"] = rate ? nlohmann::ordered_json(*rate) : nlohmann::ordered_json(nullptr);
    if (name == "rswq") {
      // The failed messages left in its queue, measured now and then and
      // counted down by its status line in between.
      if (count && (!h.haveFailed || now - h.counted > kRecount)) {
        uint64_t failed = 0;
        if (failed_ && failed_(&failed)) {
          h.haveFailed = true;
          h.failed = failed;
          h.failedAt = *count;
          h.counted = now;
        }
      }
      std::optional<uint64_t> left;
      if (h.haveFailed && count) {
        const uint64_t done = *count > h.failedAt ? *count - h.failedAt : 0;
        left = h.failed > done ? h.failed - done : 0;
      }
      e["failed_left"] = left ? nlohmann::ordered_json(*left) : nlohmann::ordered_json(nullptr);
      if (left && rate && *rate > 0)
        e["eta_seconds"] = static_cast<double>(*left) / *rate;
      else if (left && *left == 0)
        e["eta_seconds"] = 0;
      else
        e["eta_seconds"] = nullptr;
    }
    tasks.push_back(e);
  }
  // Tasks gone for a while are forgotten, so the history stays small.
  for (auto it = history_.begin(); it != history_.end();) {
    if (now - it->second.seen > std::chrono::seconds(60))
      it = history_.erase(it);
    else
      ++it;
  }
  *out = std::move(tasks);
  return true;
}

}  // namespace wqserve
