// The server log: one line per call on standard output,
//   YYYY-MM-DD HH:MM:SS  <task>: <text>[: <status text> (status <n>)]
// flushed at once so that the log interleaves correctly with other
// processes writing to the same console or file.

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "addin.h"
#include "tavlo/runtime.h"
#include "tavlo/testing.h"

namespace {

AddInTestLogSink g_sink = nullptr;
void* g_sink_arg = nullptr;

std::string Stamp() {
  time_t now = time(nullptr);
  tm local;
  char buf[32];
  if (localtime_r(&now, &local) == nullptr ||
      strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "0000-00-00 00:00:00";
  }
  return buf;
}

}  // namespace

void AddInLogMessageText(const char* format, STATUS status, ...) {
  va_list args;
  va_start(args, status);
  std::string text = tavlo_rt::FormatV(format, args);
  va_end(args);
  if (g_sink != nullptr) {
    g_sink(format, status, text, g_sink_arg);
    return;
  }

  std::string line = Stamp();
  line += "  ";
  line += tavlo_rt::TaskName();
  line += ": ";
  line += text;
  if (status != NOERROR) {
    char err[256];
    TavloStatusText(status, err, sizeof err);
    line += ": ";
    line += err;
    line += " (status " + std::to_string(status) + ")";
  }
  line += '\n';

  tavlo_rt::StatusLineBeforeOutput();
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  tavlo_rt::StatusLineAfterOutput();
}

void AddInTestSetLogSink(AddInTestLogSink sink, void* arg) {
  g_sink = sink;
  g_sink_arg = sink != nullptr ? arg : nullptr;
}
