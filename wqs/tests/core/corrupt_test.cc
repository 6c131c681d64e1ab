// Message open on damaged documents: a bad value is refused with
// ERR_WQS_CORRUPT and leaves no memory block behind.
#include "core_util.h"

namespace wqstest {
namespace {

class CorruptTest : public QueueTest {
 protected:
  // Saves a sound one-recipient message, then lets `patch` damage `item`.
  NOTEID Damaged(const char* item, const std::function<void(Bytes*)>& patch) {
    NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(0)});
    NOTEHANDLE note = 0;
    EXPECT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
    Bytes v = ItemBytes(note, item);
    patch(&v);
    EXPECT_EQ(QDSItemDelete(note, item, (WORD)strlen(item)), NOERROR);
    AppendRawValue(note, item, v);
    EXPECT_EQ(QDSNoteUpdate(note, 0), NOERROR);
    EXPECT_EQ(QDSNoteClose(note), NOERROR);
    return id;
  }
  // Opens and expects `want`; a failed open must leave nothing alive.
  void ExpectOpen(NOTEID id, STATUS want, const char* what) {
    SCOPED_TRACE(what);
    DWORD before = OSMemTestTotalBlocks();
    msg_handle_t h{};
    STATUS err = WQSOpenMsgByMsgID(&queue_, id, &h);
    EXPECT_EQ(err, want);
    if (err == NOERROR) {
      EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
    }
    EXPECT_EQ(OSMemTestTotalBlocks(), before);
  }
};

TEST_F(CorruptTest, BadValuesAreRefused) {
  ExpectOpen(Damaged("WQSMsgInfo", [](Bytes* v) { v->resize(87); }),
             ERR_WQS_CORRUPT, "short message info");
  ExpectOpen(Damaged("WQSRecipData", [](Bytes* v) { v->at(50) = 51; }),
             ERR_WQS_CORRUPT, "used past capacity");
  ExpectOpen(Damaged("WQSRecip0", [](Bytes* v) { v->at(2) = 200; }),
             ERR_WQS_CORRUPT, "count overruns");
}

}  // namespace
}  // namespace wqstest
