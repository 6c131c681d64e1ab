// The lines on standard error that tell the operator what to do next: when
// the queue was refused because it is separated from its unsaved changes,
// and when the pass had to leave damaged messages where they are.  The log
// lines stay as they are; these add the way out, with the command that
// takes it.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "rswq.h"
#include "tavlo/runtime.h"

// The live queue's name before the operator renamed it: its recovery data,
// when an earlier release left it, is named after it.
static const char kLiveQueue[] = "smtpibwq.qds";

void ExplainRefusedQueue(STATUS err) {
  if (err != ERR_DB_UNCLEAN) {
    // Causes the store explains in words: which file beside the queue
    // cannot be used, the limit a path passed, the setting it does not know.
    const char* detail = WQSLastQueueDetail();
    if (detail != nullptr && *detail) std::fprintf(stderr, "rswq: %s\n", detail);
    return;
  }
  std::string line = "rswq: ";
  const char* detail = WQSLastQueueDetail();
  line += detail && *detail ? detail : "smtpibwq.fix was not closed cleanly";
  const char* dir = TavloDataDirectory();
  std::string liveWal = std::string(dir && *dir ? dir : ".") + "/" + kLiveQueue + "-wal";
  if (::access(liveWal.c_str(), F_OK) == 0) {
    line += std::string("; ") + kLiveQueue + "-wal is beside it: 'wqadmin recover " +
            RSWQ_QUEUE_FILE + " --from " + kLiveQueue + "-wal' adopts it";
  } else {
    line += std::string("; move it back beside them, or run 'wqadmin recover ") +
            RSWQ_QUEUE_FILE + "' (--from FILE to adopt them, --discard-unsaved to give them up)";
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

void ReportSkippedDamaged(queue_handle_t* queue) {
  DWORD skipped = 0;
  if (WQSQueueSkippedDamaged(queue, &skipped) != NOERROR || skipped == 0) return;
  std::fprintf(stderr,
               "rswq: %lu damaged message%s could not be searched and %s left as %s: "
               "'wqadmin verify %s' names them, 'wqadmin repair %s' sets them aside\n",
               static_cast<unsigned long>(skipped), skipped == 1 ? "" : "s",
               skipped == 1 ? "was" : "were", skipped == 1 ? "it is" : "they are",
               RSWQ_QUEUE_FILE, RSWQ_QUEUE_FILE);
}
