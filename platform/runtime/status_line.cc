// The task's status line: kept as text, drawn live on a terminal, recorded
// in the task registry for `tavlo show tasks`, and passed to a test sink.
//
// Tools set it once per processed message, so drawing and recording are
// throttled: the terminal is redrawn at most every 50 ms and the registry
// file rewritten at most every 200 ms.  A change held back is flushed by the
// next call after its interval, by AddInIdle, and at AddInSDKTerm, so the
// value shown is never stale for long and the final one is always shown.

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <string>

#include "addin.h"
#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

constexpr int64_t kDrawIntervalMs = 50;
constexpr int64_t kRecordIntervalMs = 200;

std::string& Text() {
  static std::string text;
  return text;
}

AddInTestStatusSink g_sink = nullptr;
void* g_sink_arg = nullptr;

bool g_tty = false;      // standard error is a terminal, task active
int g_columns = 80;
bool g_showing = false;  // a status line is on the terminal, unterminated
bool g_resume = false;   // cleared for other output, to be drawn again
bool g_draw_pending = false;
bool g_record_pending = false;
int64_t g_last_draw = 0;
int64_t g_last_record = 0;

void WriteErr(const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = write(STDERR_FILENO, s.data() + done, s.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal went away; nothing to do about it
    done += static_cast<size_t>(n);
  }
}

// One terminal row: a line that wrapped could not be overwritten with \r.
void Draw(int64_t now) {
  std::string line = "\r";
  line += tavlo_rt::TaskName();
  line += ": ";
  for (char c : Text()) {
    line += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
  }
  size_t limit = g_columns > 2 ? static_cast<size_t>(g_columns) : 80;
  if (line.size() > limit) {  // "\r" takes no column: keep columns-1 chars
    size_t cut = limit;
    // Do not split a UTF-8 sequence.
    while (cut > 1 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  line += "\x1b[K";
  WriteErr(line);
  g_showing = true;
  g_draw_pending = false;
  g_last_draw = now;
}

}  // namespace

namespace tavlo_rt {

const std::string& StatusLineText() { return Text(); }

void StatusLineStart() {
  Text().clear();
  g_tty = isatty(STDERR_FILENO) == 1;
  if (g_tty) {
    winsize ws;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
      g_columns = ws.ws_col;
    }
  }
  g_showing = g_resume = g_draw_pending = g_record_pending = false;
  // The first change is shown at once.
  g_last_draw = g_last_record = MonotonicMillis() - kRecordIntervalMs;
}

void StatusLineEnd() {
  StatusLineFlush(true);
  if (g_showing) WriteErr("\n");  // leave the final value on screen
  g_showing = g_resume = false;
  g_tty = false;
}

void StatusLineFlush(bool force) {
  if (!g_draw_pending && !g_record_pending) return;
  int64_t now = MonotonicMillis();
  if (g_draw_pending && (force || now - g_last_draw >= kDrawIntervalMs)) {
    Draw(now);
  }
  if (g_record_pending && (force || now - g_last_record >= kRecordIntervalMs)) {
    TaskRegistryUpdate(Text());
    g_record_pending = false;
    g_last_record = now;
  }
}

void StatusLineBeforeOutput() {
  if (!g_showing) return;
  WriteErr("\r\x1b[K");
  g_showing = false;
  g_resume = true;
}

void StatusLineAfterOutput() {
  if (!g_resume) return;
  g_resume = false;
  Draw(MonotonicMillis());
}

}  // namespace tavlo_rt

void AddInSetStatusText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Text() = tavlo_rt::FormatV(format, args);
  va_end(args);
  if (g_sink != nullptr) g_sink(Text(), g_sink_arg);
  if (g_tty) g_draw_pending = true;
  if (tavlo_rt::TaskActive()) g_record_pending = true;
  tavlo_rt::StatusLineFlush(false);
}

void AddInTestSetStatusSink(AddInTestStatusSink sink, void* arg) {
  g_sink = sink;
  g_sink_arg = sink != nullptr ? arg : nullptr;
}
