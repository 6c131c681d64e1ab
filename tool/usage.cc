// The usage text.  An operator who types `rswq --help` on the relay's data
// directory must get an answer, not a reset of the queue they were asking
// about.

#include "usage.h"

#include <cstring>

#include "rswq.h"

bool RswqUsageAsked(int argc, char** argv, bool* version) {
  bool asked = false;
  *version = false;
  for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; i++) {
    if (std::strcmp(argv[i], "--version") == 0) {
      asked = *version = true;
    } else if (std::strcmp(argv[i], "--help") == 0 ||
               std::strcmp(argv[i], "-h") == 0) {
      asked = true;
    }
  }
  return asked;
}

void RswqPrintUsage(FILE* out, bool version) {
  if (version)
    std::fprintf(out, "rswq %s (Inbound Workqueue Message Status Reset Tool, "
                      "for version 1.05 of the MAILHUB)\n", RSWQ_VERSION);
  std::fprintf(
      out,
      "Usage: rswq\n"
      "\n"
      "Puts every failed message (WQMsgStatus 11, 9, 10 or 7) of the MAILHUB's\n"
      "inbound work queue back into the queue: status 6, retry count 1, errors\n"
      "cleared.  It takes no options and works on the file " RSWQ_QUEUE_FILE "\n"
      "in $TAVLO_DATA, else in the current directory.\n"
      "\n"
      "Procedure:\n"
      "  1) Stop the MAILHUB; it must not run while rswq does.\n"
      "  2) In its data directory, rename smtpibwq.qds to " RSWQ_QUEUE_FILE ".\n"
      "  3) Run rswq there (or with TAVLO_DATA set to that directory).\n"
      "  4) Rename " RSWQ_QUEUE_FILE " back to smtpibwq.qds and start the MAILHUB.\n"
      "\n"
      "While it runs, `tavlo show tasks` shows how many messages it has reset.\n"
      "Ctrl-C, kill -TERM or `tavlo tell rswq quit` stop it after the batch in\n"
      "progress; run it again to finish the rest.\n"
      "\n"
      "Exit code: 0 when the pass ended (or was stopped), 255 on a failure,\n"
      "which is logged with its cause.\n");
}
