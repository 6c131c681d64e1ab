// The Inbound Workqueue Message Status Reset Tool: the add-in layer
// (TavloMain), the tool's entry (AddInMain) and its requeue pass.
#ifndef RSWQ_RSWQ_H_
#define RSWQ_RSWQ_H_

#include "tavlo/types.h"
#include "wqs/wqs.h"

// The one queue file the tool works on, as the operator renamed it.
#define RSWQ_QUEUE_FILE "smtpibwq.fix"

// Log and status texts.
#define RSWQ_STATUS_INITING "Initing..."
#define RSWQ_LOG_OPENING "Opening: %s"
#define RSWQ_LOG_OPEN_FAILED "Error: Unable to open: %s"
#define RSWQ_LOG_RESETTING "Resetting...."
#define RSWQ_LOG_CLOSING "Closing: %s"
#define RSWQ_LOG_ERROR "Error"
#define RSWQ_STATUS_REQUEUEING "ReQueueing Message: %lu"
#define RSWQ_LOG_REQUEUED "ReQueued %lu messages"

// The add-in layer's runtime calls, replaceable by tests.
struct AddInEnv {
  STATUS (*SDKInit)(int argc, char** argv);
  STATUS (*InitModule)(DHANDLE* retModule, void* reserved1, void* reserved2);
  STATUS (*Main)(DHANDLE hModule, int argc, char** argv);  // AddInMain
  STATUS (*SDKTerm)(STATUS status);
};

const AddInEnv* AddInDefaultEnv(void);

// Sets up the add-in context, runs AddInMain and ends the context.
STATUS TavloMain(int argc, char** argv);
STATUS TavloMainWithEnv(const AddInEnv* env, int argc, char** argv);

// The tool: banner, open smtpibwq.fix (never created), requeue pass,
// close.  The arguments are not used.
STATUS AddInMain(DHANDLE hModule, int argc, char** argv);
// After a refused open: one line on standard error saying what to do when
// the queue was refused as separated from its unsaved changes.
void ExplainRefusedQueue(STATUS err);
// After the pass: one line on standard error when its searches passed over
// messages that cannot be decoded (they were left as they are).
void ReportSkippedDamaged(queue_handle_t* queue);

// Resets every message of the open queue whose WQMsgStatus is 11, 9, 10 or
// 7, in batches of 100, until none is left or the server asks the task to
// stop.  0 on a normal end, else the first failing STATUS.
STATUS ReconvertAllMsgs(queue_handle_t* pInbQueue);

#endif  // RSWQ_RSWQ_H_
