// Queue databases: open with and without creation, creation from a
// template, replication flags, the change test.
#include <filesystem>

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

TEST_F(QueueDbTest, OpenWithoutCreate) {
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, FALSE, &q), ERR_WQS_NO_QUEUE);
  // Only exactly 1 means "create".
  MakeTemplate("tmpl.qds");
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, 2, &q), ERR_WQS_NO_QUEUE);
}

TEST_F(QueueDbTest, CreateSetsReplicaFlags) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  ASSERT_EQ(WQSCreateQueue(&qd), NOERROR);
  DBHANDLE db = 0;
  ASSERT_EQ(QDSDbOpen(Path("q.qds").c_str(), &db), NOERROR);
  DBREPLICAINFO ri;
  ASSERT_EQ(QDSDbReplicaInfoGet(db, &ri), NOERROR);
  EXPECT_EQ(ri.Flags, 0x0100);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(QueueDbTest, EmptyTemplateName) {
  queue_descriptor_t qd = Desc(Path("q0.qds"), "");
  queue_handle_t q;
  EXPECT_EQ(WQSOpenQueueForWrite(&qd, TRUE, &q), ERR_WQS_NO_TEMPLATE);
}

TEST_F(QueueDbTest, ModifiedOnceAfterChange) {
  MakeTemplate("tmpl.qds");
  queue_descriptor_t qd = Desc(Path("q.qds"), Path("tmpl.qds"));
  queue_handle_t q;
  ASSERT_EQ(WQSOpenQueueForRead(&qd, TRUE, &q), NOERROR);
  BOOL modified = 7;
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, TRUE);
  ASSERT_EQ(WQSQueueModified(&q, &modified), NOERROR);
  EXPECT_EQ(modified, FALSE);
  EXPECT_EQ(WQSCloseQueueForRead(&q), NOERROR);
}

}  // namespace
}  // namespace wqstest
