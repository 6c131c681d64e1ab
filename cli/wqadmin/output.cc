#include "output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace wqadmin {

namespace {

// errno of the first failed write; stdio keeps only a flag, and later
// calls overwrite errno.
int g_cause = 0;

void Note(bool failed) {
  if (failed && g_cause == 0) g_cause = errno != 0 ? errno : EIO;
}

}  // namespace

void Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  errno = 0;
  int n = std::vfprintf(stdout, format, args);
  va_end(args);
  Note(n < 0 || std::ferror(stdout));
}

void Write(std::string_view bytes) {
  if (bytes.empty()) return;
  errno = 0;
  size_t n = std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  Note(n != bytes.size() || std::ferror(stdout));
}

bool OutputFailed() { return g_cause != 0 || std::ferror(stdout); }

int FinishOutput() {
  errno = 0;
  Note(std::fflush(stdout) != 0 || std::ferror(stdout));
  if (g_cause == 0) return 0;
  std::fprintf(stderr, "wqadmin: cannot write standard output: %s\n",
               std::strerror(g_cause));
  return 1;
}

}  // namespace wqadmin
