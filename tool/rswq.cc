// AddInMain: the tool's entry.  Writes the banner, opens smtpibwq.fix
// without ever creating it (a missing file means the operator has not
// renamed the live queue yet), runs the requeue pass and closes the queue.

#include <cstring>

#include "rswq.h"
#include "tavlo/runtime.h"

// Banner paragraphs: a line feed, then per line a tab, the indent and the
// text with a line feed, then one closing tab.
#define RSWQ_IND25 "                         "
#define RSWQ_IND31 "                               "
#define RSWQ_LINE25(text) "\t" RSWQ_IND25 text "\n"
#define RSWQ_LINE31(text) "\t" RSWQ_IND31 text "\n"

static const char kBanner1[] =
    "\n" RSWQ_LINE25("Inbound Workqueue Message Status Reset Tool")
        RSWQ_LINE25("For Internal Use Only") "\t";
static const char kBanner2[] =
    "\n" RSWQ_LINE25("Use only with version 1.05 of the MAILHUB")
        RSWQ_LINE25("Check with support before using with any other")
            RSWQ_LINE25("verison of the MAILHUB") "\t";
static const char kBanner3[] =
    "\n" RSWQ_LINE25("Usage:")
        RSWQ_LINE31("1) Make sure the MAILHUB is NOT running")
            RSWQ_LINE31("2) Rename smtpibwq.qds to smtpibwq.fix")
                RSWQ_LINE31("3) Run this tool") "\t";
static const char kBanner4[] =
    "\n" RSWQ_LINE25("Notes:")
        RSWQ_LINE25("If you have a lot of messages getting reset")
            RSWQ_LINE25("do a show tasks, the status of this tool will")
                RSWQ_LINE25("tell you how many messages have been processed") "\t";

STATUS AddInMain(DHANDLE hModule, int argc, char** argv) {
  (void)hModule;
  (void)argc;
  (void)argv;
  queue_descriptor_t QDesc;
  queue_handle_t InbQueue;
  STATUS err = NOERROR;

  std::memset(&QDesc, 0, sizeof(QDesc));
  std::memset(&InbQueue, 0, sizeof(InbQueue));

  AddInSetStatusText(RSWQ_STATUS_INITING);

  // The paragraphs carry no conversions, so they are their own formats.
  AddInLogMessageText(kBanner1, NOERROR);
  AddInLogMessageText(kBanner2, NOERROR);
  AddInLogMessageText(kBanner3, NOERROR);
  AddInLogMessageText(kBanner4, NOERROR);

  // Only the name is set: the open never creates the queue, so template
  // and title are never read.
  std::strncpy(QDesc.szQueueName, RSWQ_QUEUE_FILE,
               sizeof(QDesc.szQueueName) - 1);

  AddInLogMessageText(RSWQ_LOG_OPENING, NOERROR, RSWQ_QUEUE_FILE);
  // Bulk mode: the pass saves message after message, so the store syncs at
  // its own sync points and before the close returns, not at every save.
  // Every counted save still survives a crash of the process; a power loss
  // can undo only the last resets, which stay failed for the next run.
  err = WQSOpenQueueForBulkWrite(&QDesc, &InbQueue);
  if (err != NOERROR) {
    // The line reports no STATUS; the cause travels in the return value.
    AddInLogMessageText(RSWQ_LOG_OPEN_FAILED, NOERROR, RSWQ_QUEUE_FILE);
    ExplainRefusedQueue(err);
    return err;
  }

  AddInLogMessageText(RSWQ_LOG_RESETTING, NOERROR);
  err = ReconvertAllMsgs(&InbQueue);
  ReportSkippedDamaged(&InbQueue);
  if (err != NOERROR) {
    AddInLogMessageText(RSWQ_LOG_ERROR, err);
    (void)WQSCloseQueueForWrite(&InbQueue);
    return err;
  }

  AddInLogMessageText(RSWQ_LOG_CLOSING, NOERROR, RSWQ_QUEUE_FILE);
  err = WQSCloseQueueForWrite(&InbQueue);
  if (err != NOERROR) {
    AddInLogMessageText(RSWQ_LOG_ERROR, err);
    return err;
  }
  return NOERROR;
}
