// Queue databases: open with and without creation, creation from a
// template, title and replication flags, the change test, destroy.
#include <filesystem>

#include "core_util.h"

namespace wqstest {
namespace {

class QueueDbTest : public CoreTest {
 protected:
  queue_descriptor_t Desc(const std::string& name, const std::string& tmpl,
                          const char* title = "Inbound queue") {
    queue_descriptor_t qd{};
    snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", name.c_str());
    snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
             tmpl.c_str());
    snprintf(qd.szQueueTitle, sizeof(qd.szQueueTitle), "%s", title);
    return qd;
  }
  bool Exists(const std::string& name) {
    return std::filesystem::exists(Path(name));
  }
};

TEST_F(QueueDbTest, OpenWithoutCreateAndDestroy) {
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
  EXPECT_EQ(WQSOpenQueueForRead(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
  // Only exactly 1 means "create".
  MakeTemplate("tmpl.qds");
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, 2, &q), ERR_WQS_NO_QUEUE);
  EXPECT_EQ(WQSOpenQueueForRead(&qd, -1, &q), ERR_WQS_NO_QUEUE);
  EXPECT_FALSE(Exists("q.qds"));
  // A relative name resolves in the data directory.
  queue_descriptor_t rel = Desc("rel.qds", "tmpl.qds");
  ASSERT_EQ(WQSOpenQueueForWrite(&rel, TRUE, &q), NOERROR);
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
  EXPECT_TRUE(Exists("rel.qds"));
  EXPECT_EQ(WQSDestroyQueue(&rel), NOERROR);
  EXPECT_FALSE(Exists("rel.qds"));
  EXPECT_EQ(WQSOpenQueueForWrite(&rel, FALSE, &q), ERR_WQS_NO_QUEUE);
}

TEST_F(QueueDbTest, CreateCopiesViewsSetsTitleAndReplicaFlags) {
  MakeTemplate("tmpl.qds",
               {{"Failed", "SELECT WQMsgStatus = 11"}, {"All", "SELECT @All"}});
  // The template carries flags of its own; the queue replaces them all.
  DBHANDLE t = 0;
  ASSERT_EQ(QDSDbOpen(Path("tmpl.qds").c_str(), &t), NOERROR);
  DBREPLICAINFO ri;
  ASSERT_EQ(QDSDbReplicaInfoGet(t, &ri), NOERROR);
  ri.Flags = REPLFLG_DISABLE | 0x0030;
  ASSERT_EQ(QDSDbReplicaInfoSet(t, &ri), NOERROR);
  ASSERT_EQ(QDSDbClose(t), NOERROR);

  queue_descriptor_t qd =
      Desc(Path("q.qds"), Path("tmpl.qds"), "0123456789abcdef0123456789ABCDEF");
  ASSERT_EQ(WQSCreateQueue(&qd), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen(Path("q.qds").c_str(), &db), NOERROR);
  ASSERT_EQ(QDSDbReplicaInfoGet(db, &ri), NOERROR);
  EXPECT_EQ(ri.Flags, 0x0100);
  char info[DBINFO_SIZE], title[DBINFO_SIZE];
  ASSERT_EQ(QDSDbInfoGet(db, info), NOERROR);
  QDSDbInfoParse(info, INFOPARSE_TITLE, title, sizeof(title));
  EXPECT_STREQ(title, "0123456789abcdef0123456789ABCDEF");
  WORD cls = 0;
  ASSERT_EQ(QDSDbGetClass(db, &cls), NOERROR);
  EXPECT_EQ(cls, WQS_QUEUE_DB_CLASS);
  NOTEID id = 0;
  EXPECT_EQ(QVWFindDesignNote(db, "Failed", NOTE_CLASS_VIEW, &id), NOERROR);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(QVWFindDesignNote(db, "all", NOTE_CLASS_VIEW, &id), NOERROR);
  EXPECT_EQ(QVWFindDesignNote(db, "Other", NOTE_CLASS_VIEW, &id),
            ERR_VIEW_NOT_FOUND);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  // A second creation over the existing file is refused by the store.
  EXPECT_NE(WQSCreateQueue(&qd), NOERROR);
  // With the template gone, the existing queue still opens with creation.
  ASSERT_EQ(QDSDbDelete(Path("tmpl.qds").c_str()), NOERROR);
  queue_handle_t q;
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
}

TEST_F(QueueDbTest, BadTemplateLeavesEmptyQueueFile) {
  for (const char* tmpl : {"", "no-such-template.qds"}) {
    SCOPED_TRACE(tmpl);
    std::string name = std::string("q") + (tmpl[0] ? "1" : "0") + ".qds";
    queue_descriptor_t qd = Desc(Path(name), tmpl[0] ? Path(tmpl) : "");
    queue_handle_t q;
    EXPECT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), ERR_WQS_NO_TEMPLATE);
    EXPECT_TRUE(Exists(name));
    // The file is there now: a second open with creation just opens it.
    ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
    EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
    ASSERT_EQ(WQSOpenQueueForRead(&qd, FALSE, &q), NOERROR);
    EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
  }
}

TEST_F(QueueDbTest, ModifiedOnceAfterEachChange) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  memset(&q, 0x5A, sizeof(q));
  ASSERT_EQ(WQSOpenQueueForRead(&qd, TRUE, &q), NOERROR);
  TIMEDATE minimum, maximum;
  TimeConstant(TIMEDATE_MINIMUM, &minimum);
  TimeConstant(TIMEDATE_MAXIMUM, &maximum);
  EXPECT_EQ(TimeDateCompare(&q.tdLastMod, &minimum), 0);
  for (int round = 0; round < 2; round++) {
    if (round == 1) {
      EXPECT_NE(SaveMessage(&q, WQS_MSG_SIMPLE, {}), 0u);
    }
    BOOL modified = 7;
    ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
    EXPECT_EQ(modified, TRUE) << round;
    ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
    EXPECT_EQ(modified, FALSE) << round;
  }
  EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);

  // A write open keeps the caller's mark; nothing is later than the maximum.
  q.tdLastMod = maximum;
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
  EXPECT_EQ(TimeDateCompare(&q.tdLastMod, &maximum), 0);
  BOOL modified = 7;
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
}

}  // namespace
}  // namespace wqstest
