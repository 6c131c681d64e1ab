// Damaged stored values: the message open, or a copy that takes over and
// grows the recipient state array, refuses them with ERR_WQS_CORRUPT and
// leaves no memory block behind.
#include "core_util.h"

namespace wqstest {
namespace {

typedef std::function<void(Bytes*)> Patch;

// The state array's growth step set to `g`, with no free slot left.
Patch Step(DWORD g) {
  return [g](Bytes* v) {
    for (int i = 0; i < 4; i++) {
      v->at(WQS_ARRAY_ITEM_PREFIX + 12 + i) = (BYTE)(g >> (8 * i));
      v->at(WQS_ARRAY_ITEM_PREFIX + 20 + i) = 0;  // dwAvailableEntries
    }
  };
}

class CorruptTest : public QueueTest {
 protected:
  // Saves a sound one-recipient message, then lets `patch` damage `item`.
  NOTEID Damaged(const char* item, const Patch& patch) {
    NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(0)});
    NOTEHANDLE note = 0;
    EXPECT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
    Bytes v = ItemBytes(note, item);
    patch(&v);
    const WORD len = (WORD)strlen(item);
    EXPECT_EQ(QDSItemDelete(note, item, len), NOERROR);
    EXPECT_EQ(QDSItemAppend(note, 0, item, len, GetW(v, 0), v.data() + 2,
                            (DWORD)v.size() - 2), NOERROR);
    EXPECT_EQ(QDSNoteUpdate(note, 0), NOERROR);
    EXPECT_EQ(QDSNoteClose(note), NOERROR);
    return id;
  }
  // Opens `id` and, with `copy`, copies it keeping its recipients and adds
  // one.  A failure must leave nothing alive.
  STATUS Use(NOTEID id, bool copy) {
    DWORD before = OSMemTestTotalBlocks();
    msg_handle_t src, c;
    const Recip r = MakeRecip(1);
    recip_info_t ri = RecipInfo(r);
    STATUS err = WQSOpenMsgByMsgID(&queue_, id, &src), open = err;
    if (!err && copy) {
      err = WQSCopyMsg(&queue_, &queue_, &src, TRUE, WQS_MSG_SIMPLE, &c);
      if (!err) {
        err = WQSAppendRecipient(&c, &ri);
        EXPECT_EQ(WQSCloseAndDiscardMsg(&c), NOERROR);
      }
    }
    if (!open) {
      EXPECT_EQ(WQSCloseMsg(&src), NOERROR);
    }
    EXPECT_EQ(OSMemTestTotalBlocks(), before);
    return err;
  }
};

TEST_F(CorruptTest, BadValuesAreRefused) {
  const char* kRD = WQS_ITEM_RECIPDATA;
  const struct {
    const char* what;
    const char* item;
    Patch patch;
    bool copy;
    STATUS want;
  } cases[] = {
      {"short info", "WQSMsgInfo", [](Bytes* v) { v->resize(87); }, false,
       ERR_WQS_CORRUPT},
      {"used > capacity", kRD, [](Bytes* v) { v->at(50) = 51; }, false,
       ERR_WQS_CORRUPT},
      {"states shorter than their header", kRD, [](Bytes* v) { v->resize(57); }, false,
       ERR_WQS_CORRUPT},
      {"count overruns", "WQSRecip0", [](Bytes* v) { v->at(2) = 200; }, false,
       ERR_WQS_CORRUPT},
      // 24 + 50 * 22 + 0xFFFFFFFF * 22 wraps below the array's own size.
      {"growth wraps", kRD, Step(0xFFFFFFFF), true, ERR_WQS_CORRUPT},
      {"growth of 3 GB", kRD, Step(150000000), true, ERR_WQS_CORRUPT},
      {"ordinary step", kRD, Step(50), true, NOERROR},
      {"large step", kRD, Step(0xFFFF), true, NOERROR},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Use(Damaged(c.item, c.patch), c.copy), c.want) << c.what;
  }
}

}  // namespace
}  // namespace wqstest
