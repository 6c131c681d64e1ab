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
STATUS WQSCloseQueueForWrite(queue_handle_t* hQueue);
STATUS WQSCloseQueueForRead(queue_handle_t* hQueue);
STATUS WQSQueueModified(queue_handle_t* hQueue, BOOL* bModified);
STATUS WQSCreateQueue(queue_descriptor_t* qd);
STATUS WQSDestroyQueue(queue_descriptor_t* qd);

// Library-wide hooks (wqssys): they do nothing and return 0.
STATUS WQSGlobalInit(void);
STATUS WQSGlobalClose(void);
STATUS WQSDoHouseKeeping(void);

#endif  // WQS_WQSDB_H_
