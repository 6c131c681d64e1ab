// Queue databases: open with and without creation, creation from a
// template, title and replication flags, the change test, destroy.
#include <cstring>
#include <filesystem>

#include "core_util.h"

namespace wqstest {
namespace {

class QueueTest : public CoreTest {
 protected:
  queue_descriptor_t Desc(const std::string& name, const std::string& tmpl,
                          const char* title = "Inbound queue") {
    queue_descriptor_t qd;
    memset(&qd, 0, sizeof(qd));
    snprintf(qd.szQueueName, sizeof(qd.szQueueName), "%s", name.c_str());
    snprintf(qd.szQueueTemplate, sizeof(qd.szQueueTemplate), "%s",
             tmpl.c_str());
    snprintf(qd.szQueueTitle, sizeof(qd.szQueueTitle), "%s", title);
    return qd;
  }
};

TEST_F(QueueTest, MissingFileWithoutCreate) {
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
  EXPECT_EQ(WQSOpenQueueForRead(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
  // Only exactly 1 means "create".
  MakeTemplate("tmpl.qds");
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, 2, &q), ERR_WQS_NO_QUEUE);
  EXPECT_EQ(WQSOpenQueueForRead(&qd, -1, &q), ERR_WQS_NO_QUEUE);
  EXPECT_FALSE(std::filesystem::exists(Path("q.qds")));
}

TEST_F(QueueTest, RelativeNameResolvesInDataDirectory) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc("rel.qds", "tmpl.qds");
  queue_handle_t q;
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
  EXPECT_TRUE(std::filesystem::exists(Path("rel.qds")));
}

TEST_F(QueueTest, CreateSetsTitleAndReplicaFlags) {
  MakeTemplate("tmpl.qds");
  // The template carries flags of its own; the queue replaces them all.
  {
    DBHANDLE t = 0;
    ASSERT_EQ(QDSDbOpen(Path("tmpl.qds").c_str(), &t), NOERROR);
    DBREPLICAINFO ri;
    ASSERT_EQ(QDSDbReplicaInfoGet(t, &ri), NOERROR);
    ri.Flags = REPLFLG_DISABLE | 0x0030;
    ASSERT_EQ(QDSDbReplicaInfoSet(t, &ri), NOERROR);
    ASSERT_EQ(QDSDbClose(t), NOERROR);
  }
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"),
                               "0123456789abcdef0123456789ABCDEF");
  ASSERT_EQ(WQSCreateQueue(&qd), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen(Path("q.qds").c_str(), &db), NOERROR);
  DBREPLICAINFO ri;
  ASSERT_EQ(QDSDbReplicaInfoGet(db, &ri), NOERROR);
  EXPECT_EQ(ri.Flags, 0x0100);
  char info[DBINFO_SIZE];
  ASSERT_EQ(QDSDbInfoGet(db, info), NOERROR);
  char title[DBINFO_SIZE];
  QDSDbInfoParse(info, INFOPARSE_TITLE, title, sizeof(title));
  EXPECT_STREQ(title, "0123456789abcdef0123456789ABCDEF");
  WORD cls = 0;
  ASSERT_EQ(QDSDbGetClass(db, &cls), NOERROR);
  EXPECT_EQ(cls, WQS_QUEUE_DB_CLASS);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  // A second creation over the existing file is refused by the store.
  EXPECT_NE(WQSCreateQueue(&qd), NOERROR);
}

TEST_F(QueueTest, TemplateViewsAreCopied) {
  MakeTemplate("tmpl.qds", {{"Failed", "SELECT WQMsgStatus = 11"},
                            {"All", "SELECT @All"}});
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
  NOTEID id = 0;
  EXPECT_EQ(QVWFindDesignNote(q.dbhandle, "Failed", NOTE_CLASS_VIEW, &id),
            NOERROR);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(QVWFindDesignNote(q.dbhandle, "all", NOTE_CLASS_VIEW, &id),
            NOERROR);
  EXPECT_EQ(QVWFindDesignNote(q.dbhandle, "Other", NOTE_CLASS_VIEW, &id),
            ERR_VIEW_NOT_FOUND);
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
}

TEST_F(QueueTest, BadTemplateLeavesEmptyQueueFile) {
  for (const char* tmpl : {"", "no-such-template.qds"}) {
    SCOPED_TRACE(tmpl);
    std::string name = Path(std::string("q") + (tmpl[0] ? "1" : "0") + ".qds");
    queue_descriptor_t qd = Desc(name, tmpl[0] ? Path(tmpl) : "");
    queue_handle_t q;
    EXPECT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), ERR_WQS_NO_TEMPLATE);
    EXPECT_TRUE(std::filesystem::exists(name));
    // The file is there now: a second open with creation just opens it.
    ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
    EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
    ASSERT_EQ(WQSOpenQueueForRead(&qd, FALSE, &q), NOERROR);
    EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
  }
}

TEST_F(QueueTest, OpenExistingDoesNotTouchTemplate) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  ASSERT_EQ(WQSCreateQueue(&qd), NOERROR);
  // Template gone: an existing queue still opens with creation asked for.
  ASSERT_EQ(QDSDbDelete(Path("tmpl.qds").c_str()), NOERROR);
  queue_handle_t q;
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
}

TEST_F(QueueTest, ModifiedAfterDocumentChange) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  memset(&q, 0x5A, sizeof(q));
  ASSERT_EQ(WQSOpenQueueForRead(&qd, TRUE, &q), NOERROR);
  TIMEDATE minimum;
  TimeConstant(TIMEDATE_MINIMUM, &minimum);
  EXPECT_EQ(TimeDateCompare(&q.tdLastMod, &minimum), 0);

  BOOL modified = 7;
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, TRUE);
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);

  NOTEID id = SaveMessage(&q, WQS_MSG_SIMPLE, {MakeRecip(1)});
  EXPECT_NE(id, 0u);
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, TRUE);
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);
  EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
}

TEST_F(QueueTest, WriteOpenKeepsCallersMark) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  TIMEDATE maximum;
  TimeConstant(TIMEDATE_MAXIMUM, &maximum);
  q.tdLastMod = maximum;
  ASSERT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), NOERROR);
  EXPECT_EQ(TimeDateCompare(&q.tdLastMod, &maximum), 0);
  BOOL modified = 7;
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);  // nothing is later than the maximum
  EXPECT_EQ(WQSCloseQueueForWrite(&q), NOERROR);
}

TEST_F(QueueTest, DestroyRemovesFile) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  ASSERT_EQ(WQSCreateQueue(&qd), NOERROR);
  EXPECT_EQ(WQSDestroyQueue(&qd), NOERROR);
  EXPECT_FALSE(std::filesystem::exists(Path("q.qds")));
  queue_handle_t q;
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
}

TEST_F(QueueTest, GlobalHooksDoNothing) {
  EXPECT_EQ(WQSGlobalInit(), NOERROR);
  EXPECT_EQ(WQSDoHouseKeeping(), NOERROR);
  EXPECT_EQ(WQSGlobalClose(), NOERROR);
}

}  // namespace
}  // namespace wqstest
