// Process entry of the console build of rswq.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shell.h"
#include "usage.h"

namespace {

// The standard descriptors a caller closed (`rswq >&-`) are filled with
// /dev/null, so that no file the run opens takes their number and gets the
// log lines meant for standard output.
void KeepStandardDescriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int nul = open("/dev/null", O_RDWR);
    if (nul >= 0 && nul != fd) close(nul);  // fd was taken meanwhile
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool version = false;
  if (RswqUsageAsked(argc, argv, &version)) {
    RswqPrintUsage(stdout, version);
    return 0;
  }
  KeepStandardDescriptors();
  // The log goes to standard output.  When its reader is gone (`rswq |
  // head -1`, a closed terminal), the log lines are lost, but the pass must
  // go on: a SIGPIPE would kill it between a batch's saves and leave the
  // operator a half-reset queue and no total.
  signal(SIGPIPE, SIG_IGN);
  return ShellMain(0, nullptr, nullptr, argc, argv);
}
