// Runtime-private links between the add-in task's pieces: the task itself
// (name, registration, stop request), its status line and its log.
#ifndef TAVLO_RUNTIME_ADDIN_H_
#define TAVLO_RUNTIME_ADDIN_H_

#include <time.h>

#include <cstdarg>
#include <cstdint>
#include <string>

namespace tavlo_rt {

// task.cc ------------------------------------------------------------------

// The name the task logs and registers under: the base name of argv[0],
// "tavlo" until one is given.
const char* TaskName();
void SetTaskName(const char* argv0);
// Between AddInSDKInit and AddInSDKTerm.
bool TaskActive();
// Rewrites this task's registry record with a new status line (no-op when
// the task is not registered).
void TaskRegistryUpdate(const std::string& status);

// status_line.cc -------------------------------------------------------------

// Called by AddInSDKInit and AddInSDKTerm.
void StatusLineStart();
void StatusLineEnd();
// Around any other output to the terminal: clear a live status line so the
// two do not mix, and draw it again afterwards.
void StatusLineBeforeOutput();
void StatusLineAfterOutput();
// Draws and records a status change held back by the throttle once its
// interval has passed (`force`: now).
void StatusLineFlush(bool force);
const std::string& StatusLineText();

// format.cc ------------------------------------------------------------------

// printf-style expansion into a string of any length; a null format gives
// the empty string.
std::string FormatV(const char* format, va_list args);

// Milliseconds on a clock that never goes back; a vDSO call, no syscall.
inline int64_t MonotonicMillis() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace tavlo_rt

#endif  // TAVLO_RUNTIME_ADDIN_H_
