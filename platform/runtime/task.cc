// The add-in task: its name, its record in the task registry, and the stop
// request (SIGINT, SIGTERM, `tavlo tell <task> quit`, or a test).
//
// The signal handler only sets a flag: AddInIdle is polled between batches,
// which is where the task can stop cleanly.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "addin.h"
#include "task_registry.h"
#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

std::string& Name() {
  static std::string name = "tavlo";
  return name;
}

bool g_active = false;

// Registration; g_task_dir is empty when the task is not registered.
std::string& TaskDir() {
  static std::string dir;
  return dir;
}
std::string& QuitFile() {
  static std::string path;
  return path;
}
int64_t g_started = 0;

volatile sig_atomic_t g_signal_stop = 0;
bool g_test_stop = false;
bool g_quit_seen = false;
bool g_polls_armed = false;
DWORD g_polls_left = 0;

bool g_handlers_installed = false;
struct sigaction g_old_int;
struct sigaction g_old_term;

extern "C" void OnStopSignal(int) { g_signal_stop = 1; }

void InstallHandlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;  // a slow file write must not fail with EINTR
  bool int_ok = sigaction(SIGINT, &sa, &g_old_int) == 0;
  bool term_ok = sigaction(SIGTERM, &sa, &g_old_term) == 0;
  if (!int_ok || !term_ok) {
    if (int_ok) sigaction(SIGINT, &g_old_int, nullptr);
    if (term_ok) sigaction(SIGTERM, &g_old_term, nullptr);
    return;  // run without them: a signal then ends the process as usual
  }
  g_handlers_installed = true;
}

void RestoreHandlers() {
  if (!g_handlers_installed) return;
  sigaction(SIGINT, &g_old_int, nullptr);
  sigaction(SIGTERM, &g_old_term, nullptr);
  g_handlers_installed = false;
}

tavlo_rt::TaskRecord SelfRecord(const std::string& status) {
  tavlo_rt::TaskRecord rec;
  rec.name = Name();
  rec.pid = static_cast<long>(getpid());
  rec.started = g_started;
  rec.status = status;
  return rec;
}

// Registration is a convenience for the operator: a data directory that is
// missing or read-only must not stop the task from running.
void Register() {
  std::string data = TavloDataDirectory();
  if (!tavlo_rt::EnsureTaskDirectory(data)) return;
  std::string dir = tavlo_rt::TaskDirectory(data);
  long pid = static_cast<long>(getpid());
  // A quit file left by an earlier process with our pid is not for us.
  unlink(tavlo_rt::QuitFilePath(dir, pid).c_str());
  if (!tavlo_rt::WriteTaskRecord(tavlo_rt::TaskFilePath(dir, pid),
                                 SelfRecord(tavlo_rt::StatusLineText()))) {
    return;
  }
  TaskDir() = dir;
  QuitFile() = tavlo_rt::QuitFilePath(dir, pid);
}

void Unregister() {
  if (TaskDir().empty()) return;
  tavlo_rt::RemoveTaskFiles(TaskDir(), static_cast<long>(getpid()));
  // The last task to end leaves nothing behind in the operator's directory;
  // while another task runs, its entry keeps the directories (rmdir fails).
  rmdir(TaskDir().c_str());
  std::string parent = TaskDir().substr(0, TaskDir().rfind('/'));
  if (!parent.empty()) rmdir(parent.c_str());
  TaskDir().clear();
  QuitFile().clear();
}

}  // namespace

namespace tavlo_rt {

const char* TaskName() { return Name().c_str(); }

void SetTaskName(const char* argv0) {
  if (argv0 == nullptr) return;
  const char* base = std::strrchr(argv0, '/');
  base = base != nullptr ? base + 1 : argv0;
  if (*base != '\0') Name() = base;
}

bool TaskActive() { return g_active; }

void TaskRegistryUpdate(const std::string& status) {
  if (TaskDir().empty()) return;
  WriteTaskRecord(TaskFilePath(TaskDir(), static_cast<long>(getpid())),
                  SelfRecord(status));
}

}  // namespace tavlo_rt

STATUS AddInSDKInit(int argc, char** argv) {
  if (argc > 0 && argv != nullptr) tavlo_rt::SetTaskName(argv[0]);
  if (g_active) return NOERROR;
  g_active = true;
  g_quit_seen = false;
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  g_started = TimeToMicros(&now);
  tavlo_rt::StatusLineStart();
  Register();
  InstallHandlers();
  return NOERROR;
}

STATUS AddInSDKTerm(STATUS status) {
  if (!g_active) return status;
  tavlo_rt::StatusLineEnd();
  Unregister();
  RestoreHandlers();
  g_active = false;
  return status;
}

BOOL AddInIdle(void) {
  // A status change held back by the throttle is shown now, so the last
  // value before a long pause is what the operator sees.
  tavlo_rt::StatusLineFlush(false);
  bool stop = false;
  if (g_polls_armed) {
    if (g_polls_left == 0) {
      stop = true;
    } else {
      --g_polls_left;
    }
  }
  if (g_signal_stop || g_test_stop) stop = true;
  if (!stop && !g_quit_seen && !QuitFile().empty()) {
    struct stat st;
    g_quit_seen = stat(QuitFile().c_str(), &st) == 0;
  }
  return (stop || g_quit_seen) ? TRUE : FALSE;
}

void AddInTestSetStopRequest(BOOL stop) {
  g_test_stop = stop != FALSE;
  if (!g_test_stop) {
    g_signal_stop = 0;
    g_quit_seen = false;
    g_polls_armed = false;
    g_polls_left = 0;
  }
}

void AddInTestStopAfterPolls(DWORD polls) {
  g_polls_armed = polls != 0;
  g_polls_left = polls;
}
