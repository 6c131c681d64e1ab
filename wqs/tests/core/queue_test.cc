// Queue databases: refused opens, read-only opens, message lists.
#include <filesystem>
#include <fstream>

#include "core_util.h"

namespace wqstest {
namespace {

class QueueDbTest : public CoreTest {
 protected:
  queue_descriptor_t Desc(const std::string& name, const std::string& tmpl) {
    queue_descriptor_t qd{};
    snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", name.c_str());
    snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
             tmpl.c_str());
    snprintf(qd.szQueueTitle, sizeof(qd.szQueueTitle), "Inbound queue");
    return qd;
  }
};

TEST_F(QueueDbTest, RefusedOpens) {
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
  MakeTemplate("tmpl.qds");
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, 2, &q), ERR_WQS_NO_QUEUE);  // 1 creates
  queue_descriptor_t none = Desc(Path("q0.qds"), "");
  EXPECT_EQ(WQSOpenQueueForWrite(&none, TRUE, &q), ERR_WQS_NO_TEMPLATE);
  // A foreign file is refused, also when asked to create, not replaced.
  const std::string text = Path("text.qds");
  std::ofstream(text) << "not a queue\n";
  queue_descriptor_t foreign = Desc(text, Path("tmpl.qds"));
  EXPECT_EQ(WQSOpenQueueForRead(&foreign, FALSE, &q), ERR_NOT_A_DB);
  EXPECT_EQ(WQSOpenQueueForWrite(&foreign, TRUE, &q), ERR_NOT_A_DB);
  EXPECT_EQ(std::filesystem::file_size(text), 12u);
}

// A read-only open never creates the queue, reads what a writer (here in the same process) saved, sees the
// change once, and every write through it, or through a list or message
// made from it, gives the store's read-only STATUS.
TEST_F(QueueDbTest, ReadOnlyOpenReadsAndRefusesWrites) {
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t ro, rw;
  EXPECT_EQ(WQSOpenQueueReadOnly(&qd, &ro), ERR_WQS_NO_QUEUE);
  EXPECT_FALSE(std::filesystem::exists(Path("q.qds")));
  MakeTemplate("tmpl.qds");
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &rw), NOERROR);
  msg_handle_t m;
  ASSERT_EQ(WQSCreateMsg(&rw, WQS_MSG_SIMPLE, &m), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&m, TRUE, "WQMsgStatus", 11), NOERROR);
  ASSERT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);

  ASSERT_EQ(WQSOpenQueueReadOnly(&qd, &ro), NOERROR);
  BOOL modified = 7;
  ASSERT_EQ(WQSQueueModified(&ro, &modified), NOERROR);
  EXPECT_EQ(modified, TRUE);
  ASSERT_EQ(WQSQueueModified(&ro, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);
  msglist_handle_t list;
  WORD n = 0;
  ASSERT_EQ(WQSCreateMsgList(&ro, 100, WQS_SEARCH_FORMULA, "WQMsgStatus = 11",
                             &list, &n), NOERROR);
  ASSERT_EQ(n, 1);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsg(&list, 0, &h), NOERROR);
  ASSERT_EQ(WQSAddDWORD(&h, TRUE, "Retried", 1), NOERROR);
  EXPECT_EQ(WQSCloseMsgAndUpdate(&h), ERR_DB_READONLY);
  (void)WQSCloseMsg(&h);  // releases what the failed close left
  EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
  ASSERT_EQ(WQSCreateMsg(&ro, WQS_MSG_SIMPLE, &m), NOERROR);
  EXPECT_EQ(WQSCloseAndSaveMsg(&m), ERR_DB_READONLY);
  EXPECT_EQ(WQSCloseAndDiscardMsg(&m), NOERROR);
  EXPECT_EQ(WQSCloseQueueForRead(&ro), NOERROR);
  // Nothing of it reached the file.
  ASSERT_EQ(WQSCreateMsgList(&rw, 100, WQS_SEARCH_FORMULA, "Retried = 1",
                             &list, &n), NOERROR);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(WQSCloseQueueForWrite(&rw), NOERROR);
}

// A queue made from a template carries its views, its ACL, the title (cut
// to 32 characters) and the queue's replica flags.  A store failure at any
// step of the making is returned with every database closed again; a
// reader opened afterwards sees the queue as modified once.
TEST_F(QueueDbTest, CreateFailingAtEachStoreAccessClosesItsDatabases) {
  MakeTemplate("tmpl.qds", {{"Failed", "SELECT WQMsgStatus = 11"}});
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  memset(qd.szQueueTitle, 'T', sizeof(qd.szQueueTitle));  // no terminator
  DWORD dbs0 = 0, dbs = 0;
  QDSTestOpenHandles(&dbs0, nullptr, nullptr);
  STATUS err = ERR_DB_IO;
  int failures = 0;
  for (DWORD n = 1; err != NOERROR && n < 500; n++) {
    (void)WQSDestroyQueue(&qd);
    QDSTestFailNth(n, ERR_DB_IO);
    err = WQSCreateQueue(&qd);
    bool fired = QDSTestFaultFired();
    QDSTestDisarm();
    QDSTestOpenHandles(&dbs, nullptr, nullptr);
    EXPECT_EQ(dbs, dbs0) << n;
    if (!fired) {
      EXPECT_EQ(err, NOERROR) << n;
    }
    failures += err != NOERROR;
  }
  ASSERT_EQ(err, NOERROR);
  EXPECT_GT(failures, 5);
  queue_handle_t q;
  ASSERT_EQ(WQSOpenQueueForRead(&qd, FALSE, &q), NOERROR);
  char info[DBINFO_SIZE], title[DBINFO_SIZE];
  ASSERT_EQ(QDSDbInfoGet(q.dbhandle, info), NOERROR);
  QDSDbInfoParse(info, INFOPARSE_TITLE, title, sizeof title);
  EXPECT_EQ(std::string(title), std::string(32, 'T'));
  DBREPLICAINFO ri;
  ASSERT_EQ(QDSDbReplicaInfoGet(q.dbhandle, &ri), NOERROR);
  EXPECT_EQ(ri.Flags, 0x0100);
  NOTEID view = 0;
  EXPECT_EQ(QVWFindDesignNote(q.dbhandle, "Failed", NOTE_CLASS_VIEW, &view), NOERROR);
  BOOL modified = FALSE;
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, TRUE);
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);
  EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
  EXPECT_EQ(WQSDestroyQueue(&qd), NOERROR);
  EXPECT_FALSE(std::filesystem::exists(Path("q.qds")));
}

// Lists by formula and by view stop at the limit; no match is an empty
// list from a formula, ERR_WQS_NO_MESSAGES from a view.
TEST_F(QueueDbTest, MessageLists) {
  MakeTemplate("tmpl.qds", {{"Failed", "SELECT WQMsgStatus = 11"},
                            {"Empty", "SELECT WQMsgStatus = 99"}});
  OpenQueue(&queue_);
  queueOpen_ = true;
  for (int i = 0; i < 250; i++) {
    SaveMessage(&queue_, WQS_MSG_SIMPLE, {}, nullptr, [](msg_handle_t* h) {
      EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", 11), NOERROR);
    });
  }
  const struct { WORD mode; const char* q; STATUS want; WORD n; } cases[] = {
      {WQS_SEARCH_FORMULA,
       "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
       "(WQMsgStatus = 7))", NOERROR, 100},
      {WQS_SEARCH_FORMULA, "WQMsgStatus = 12", NOERROR, 0},
      {WQS_SEARCH_VIEW, "Failed", NOERROR, 100},
      {WQS_SEARCH_VIEW, "Empty", ERR_WQS_NO_MESSAGES, 0},
  };
  for (const auto& c : cases) {
    msglist_handle_t list;
    memset(&list, 0x55, sizeof(list));
    WORD count = 77;
    ASSERT_EQ(WQSCreateMsgList(&queue_, 100, c.mode, c.q, &list, &count),
              c.want) << c.q;
    EXPECT_EQ(count, c.n) << c.q;
    if (c.want != NOERROR) continue;
    if (c.n == 0) {
      EXPECT_EQ(list.hList, NULLHANDLE);
    }
    EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
  }
}

// A list whose build fails at a free (the compiled formula's, the empty
// list's) holds nothing and reports it.
TEST_F(QueueDbTest, ListBuildFailingToFreeHoldsNothing) {
  OpenQueue(&queue_);
  queueOpen_ = true;
  SaveMessage(&queue_, WQS_MSG_SIMPLE, {}, nullptr, [](msg_handle_t* h) {
    EXPECT_EQ(WQSAddDWORD(h, TRUE, "WQMsgStatus", 11), NOERROR);
  });
  int failed = 0;
  for (const char* formula : {"WQMsgStatus = 11", "WQMsgStatus = 12"}) {
    for (DWORD n = 1; n < 100; n++) {
      const DWORD blocks = OSMemTestTotalBlocks();
      msglist_handle_t list{};
      WORD count = 77;
      OSMemTestFailNth(OSMEM_FAULT_FREE, n);
      STATUS err = WQSCreateMsgList(&queue_, 100, WQS_SEARCH_FORMULA, formula, &list, &count);
      const bool fired = OSMemTestFaultFired();
      OSMemTestDisarm();
      if (err == NOERROR) {
        EXPECT_EQ(WQSCloseMsgList(&list), NOERROR);
      }
      EXPECT_EQ(OSMemTestTotalBlocks(), blocks) << formula << " " << n;
      if (err != NOERROR) {
        EXPECT_EQ(list.hList, NULLHANDLE) << formula << " " << n;
        failed++;
      }
      if (!fired) break;
    }
  }
  EXPECT_GE(failed, 2);
}

// The search callback lists a document only for match flags of exactly 1,
// stops listing when the room is used up, and never stops the search.
TEST(MsgListCallbackTest, ListsExactMatchesUntilFull) {
  DWORD ids[3] = {0, 0, 0xFFFFFFFF};
  msglist_handle_t list{};
  list.pList = ids;
  list.wMaxMsgs = 2;
  const struct { BYTE flags; NOTEID id; } reported[] = {
      {0x00, 10}, {0x01, 11}, {0x03, 12}, {0x81, 13}, {0x01, 14}, {0x01, 15}};
  for (const auto& r : reported) {
    SEARCH_MATCH m{};
    m.SERetFlags = r.flags;
    m.ID.NoteID = r.id;
    EXPECT_EQ(WQSSearchQDSCallBack(&list, &m, nullptr), NOERROR) << r.id;
  }
  EXPECT_EQ(ids[0], 11u);
  EXPECT_EQ(ids[1], 14u);
  EXPECT_EQ(ids[2], 0xFFFFFFFFu);
  EXPECT_EQ(list.wNumMsgs, 2);
  EXPECT_EQ(list.wMaxMsgs, 0);
}

}  // namespace
}  // namespace wqstest
