// Queue databases.  A queue is one document-store database; a new one is
// made from a template, which carries the queue's design (views and the
// like).  This file knows nothing of that design: it copies the template
// whole and then sets the queue's own title and replication flags.
#include "wqs/wqsdb.h"

#include <cstring>

// Opens the queue file, creating it from the template first when it is
// missing and the caller asked for exactly that (bCreate 1; any other
// nonzero value is treated as "do not create").
static STATUS OpenQueue(queue_descriptor_t* qd, BOOL bCreate,
                        queue_handle_t* hQueue) {
  STATUS err = QDSDbOpen(qd->szQueueName, &hQueue->dbhandle);
  if (err == NOERROR) return NOERROR;
  if (err != ERR_NOEXIST) return err;
  if (bCreate != TRUE) return ERR_WQS_NO_QUEUE;
  err = WQSCreateQueue(qd);
  if (err != NOERROR) return err;
  return QDSDbOpen(qd->szQueueName, &hQueue->dbhandle);
}

STATUS WQSOpenQueueForWrite(queue_descriptor_t* qd, BOOL bCreate,
                            queue_handle_t* hQueue) {
  // The change mark is the caller's: a writer does not reset it.
  return OpenQueue(qd, bCreate, hQueue);
}

STATUS WQSOpenQueueForBulkWrite(queue_descriptor_t* qd, queue_handle_t* hQueue) {
  STATUS err = QDSDbOpenBulk(qd->szQueueName, &hQueue->dbhandle);
  return err == ERR_NOEXIST ? ERR_WQS_NO_QUEUE : err;
}

STATUS WQSOpenQueueForRead(queue_descriptor_t* qd, BOOL bCreate,
                           queue_handle_t* hQueue) {
  STATUS err = OpenQueue(qd, bCreate, hQueue);
  if (err != NOERROR) return err;
  // A reader starts from "never looked", so its first change test reports
  // the queue as modified.
  TimeConstant(TIMEDATE_MINIMUM, &hQueue->tdLastMod);
  return NOERROR;
}

STATUS WQSOpenQueueReadOnly(queue_descriptor_t* qd, queue_handle_t* hQueue) {
  STATUS err = QDSDbOpenReadOnly(qd->szQueueName, &hQueue->dbhandle);
  if (err == ERR_NOEXIST) return ERR_WQS_NO_QUEUE;
  if (err != NOERROR) return err;
  TimeConstant(TIMEDATE_MINIMUM, &hQueue->tdLastMod);
  return NOERROR;
}

STATUS WQSCloseQueueForWrite(queue_handle_t* hQueue) {
  return QDSDbClose(hQueue->dbhandle);
}

STATUS WQSCloseQueueForRead(queue_handle_t* hQueue) {
  return QDSDbClose(hQueue->dbhandle);
}

STATUS WQSQueueModified(queue_handle_t* hQueue, BOOL* bModified) {
  TIMEDATE dataMod, nonDataMod;
  STATUS err = QDSDbModifiedTime(hQueue->dbhandle, &dataMod, &nonDataMod);
  if (err != NOERROR) return err;
  // Only data documents count: design changes are not queue traffic.
  *bModified = TimeDateCompare(&dataMod, &hQueue->tdLastMod) > 0 ? TRUE : FALSE;
  hQueue->tdLastMod = dataMod;
  return NOERROR;
}

STATUS WQSCreateQueue(queue_descriptor_t* qd) {
  STATUS err = QDSDbCreate(qd->szQueueName, WQS_QUEUE_DB_CLASS, FALSE);
  if (err != NOERROR) return err;

  DBHANDLE hDb = 0;
  err = QDSDbOpen(qd->szQueueName, &hDb);
  if (err != NOERROR) return err;

  // From here on the new file stays on disk whatever happens: a later open
  // with creation asked for finds it and uses it as it is.
  DBHANDLE hTemplate = 0;
  if (QDSDbOpen(qd->szQueueTemplate, &hTemplate) != NOERROR) {
    QDSDbClose(hDb);
    return ERR_WQS_NO_TEMPLATE;
  }

  err = QDSDbCopyACL(hTemplate, hDb);
  if (err != NOERROR) {
    QDSDbClose(hDb);
    QDSDbClose(hTemplate);
    return err;
  }

  TIMEDATE since;
  TimeConstant(TIMEDATE_WILDCARD, &since);
  err = QDSDbCopy(hTemplate, hDb, since, NOTE_CLASS_ALL);
  if (err != NOERROR) {
    QDSDbClose(hDb);
    QDSDbClose(hTemplate);
    return err;
  }

  err = QDSDbClose(hTemplate);
  if (err != NOERROR) {
    QDSDbClose(hDb);
    return err;
  }

  // The title field holds at most 32 characters; a caller that filled all
  // 33 bytes without a terminator still gets a terminated title.
  char title[sizeof(qd->szQueueTitle)];
  size_t titleLen = strnlen(qd->szQueueTitle, sizeof(title) - 1);
  memcpy(title, qd->szQueueTitle, titleLen);
  title[titleLen] = 0;
  char info[DBINFO_SIZE];
  info[0] = 0;
  QDSDbInfoModify(info, INFOPARSE_TITLE, title);
  err = QDSDbInfoSet(hDb, info);
  if (err != NOERROR) {
    QDSDbClose(hDb);
    return err;
  }

  DBREPLICAINFO repl;
  err = QDSDbReplicaInfoGet(hDb, &repl);
  if (err != NOERROR) {
    QDSDbClose(hDb);
    return err;
  }
  // The queue's flags replace whatever the template carried.
  repl.Flags = WQS_QUEUE_REPL_FLAGS;
  err = QDSDbReplicaInfoSet(hDb, &repl);
  if (err != NOERROR) {
    QDSDbClose(hDb);
    return err;
  }

  return QDSDbClose(hDb);
}

STATUS WQSDestroyQueue(queue_descriptor_t* qd) {
  return QDSDbDelete(qd->szQueueName);
}

const char* WQSLastQueueDetail(void) { return QDSDbLastDetail(); }

STATUS WQSQueueSkippedDamaged(queue_handle_t* hQueue, DWORD* retCount) {
  if (hQueue == nullptr || retCount == nullptr) return ERR_BAD_ARG;
  return QDSDbSearchDamage(hQueue->dbhandle, nullptr, 0, retCount, nullptr);
}
