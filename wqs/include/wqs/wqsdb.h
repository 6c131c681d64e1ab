// Queue databases: open, close, create from a template, delete, and the
// change test.  A queue is one document-store database.
#ifndef WQS_WQSDB_H_
#define WQS_WQSDB_H_

#include "wqs/wqstypes.h"

#define WQS_QUEUE_DB_CLASS ((WORD)0xFF01)
#define WQS_QUEUE_REPL_FLAGS ((WORD)0x0100)

STATUS WQSOpenQueueForWrite(queue_descriptor_t* qd, BOOL bCreate,
                            queue_handle_t* hQueue);
STATUS WQSOpenQueueForRead(queue_descriptor_t* qd, BOOL bCreate,
                           queue_handle_t* hQueue);
// Opens an existing queue for reading only, beside a process that writes
// it (the relay or the reset tool): takes no writer lock, never creates the
// queue (a missing file gives 13280), sees committed messages only.  Like
// WQSOpenQueueForRead it sets the change mark to the minimum time.  Every
// write through this handle or a message or list made from it (save,
// update, purge, requeue, create, copy into it) fails with the store's
// ERR_DB_READONLY.  Close it with either close.
STATUS WQSOpenQueueReadOnly(queue_descriptor_t* qd, queue_handle_t* hQueue);
// Opens an existing queue for writing in the store's bulk mode, for a pass
// that saves many messages in a row: each save stays atomic and survives a
// crash of the process, and the store syncs at its own sync points and at
// close instead of at every save.  Never creates the queue (13280).
STATUS WQSOpenQueueForBulkWrite(queue_descriptor_t* qd, queue_handle_t* hQueue);
STATUS WQSCloseQueueForWrite(queue_handle_t* hQueue);
// Why the last queue open of this thread failed, in words for an operator
// (the file, and the recovery data it is missing or that does not belong
// to it); empty when its STATUS says it all.
const char* WQSLastQueueDetail(void);
// Messages that searches of this queue (message lists, views) have passed
// over since it was opened because their header or summary values cannot
// be decoded; each counted once.
STATUS WQSQueueSkippedDamaged(queue_handle_t* hQueue, DWORD* retCount);
STATUS WQSCloseQueueForRead(queue_handle_t* hQueue);
STATUS WQSQueueModified(queue_handle_t* hQueue, BOOL* bModified);
STATUS WQSCreateQueue(queue_descriptor_t* qd);
STATUS WQSDestroyQueue(queue_descriptor_t* qd);

// The queue's shape without opening a message: for every message, in
// note-id order, its processing status, its stored message info and its
// receipt time, read straight from those items' rows in one pass (see
// QDSDbScanItems).  A message whose header row, message info or status
// cannot be decoded comes with bDamaged and the reason.
struct wqs_scan_row_t {
  NOTEID noteId;
  BOOL bDamaged;
  const char* szReason;  // when damaged
  BOOL bHasStatus;       // WQMsgStatus is a whole number 0..4294967295
  DWORD dwStatus;
  BOOL bHasInfo;         // `info` holds the stored WQSMsgInfo
  msg_info_t info;
  BOOL bHasRecvTime;     // a WQRecvTime time stamp
  TIMEDATE tdRecvTime;
  // The first recipient list (WQSRecip0) and, for an extended message, the
  // next hops (WQSNHE): text lists with their type code, checked, valid
  // during the call only; null when absent or unsound.  A message with
  // more lists than one (info.wNumRecipLists) holds more names than these.
  const void* pRecipList;
  const void* pNHEList;
};
typedef STATUS (*WQS_SCAN_CALLBACK)(void* pArg, const wqs_scan_row_t* pRow);
STATUS WQSScanQueue(queue_handle_t* hQueue, WQS_SCAN_CALLBACK callback, void* pArg);

// Library-wide hooks (wqssys): they do nothing and return 0.
STATUS WQSGlobalInit(void);
STATUS WQSGlobalClose(void);
STATUS WQSDoHouseKeeping(void);

#endif  // WQS_WQSDB_H_
