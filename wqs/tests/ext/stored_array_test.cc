// Stored dynamic arrays that a copy takes over and grows: a header whose
// growth step would take the array past what a block size can say (or
// ask for gigabytes) is refused when loaded, never grown.
#include "core/core_util.h"

namespace wqstest {
namespace {

class StoredArrayTest : public QueueTest {
 protected:
  // A saved one-recipient message whose WQSRecipData header gets
  // `granularity` as growth step and no free slot left.
  NOTEID WithGranularity(DWORD granularity) {
    NOTEID id = SaveMessage(&queue_, WQS_MSG_SIMPLE, {MakeRecip(0)});
    NOTEHANDLE note = 0;
    EXPECT_EQ(QDSNoteOpen(db(), id, 0, &note), NOERROR);
    Bytes v = ItemBytes(note, WQS_ITEM_RECIPDATA);
    const size_t header = WQS_ARRAY_ITEM_PREFIX;
    for (int i = 0; i < 4; i++) {
      v.at(header + 12 + i) = (BYTE)(granularity >> (8 * i));
      v.at(header + 20 + i) = 0;  // dwAvailableEntries: the next add grows
    }
    EXPECT_EQ(QDSItemDelete(note, WQS_ITEM_RECIPDATA, 12), NOERROR);
    AppendRawValue(note, WQS_ITEM_RECIPDATA, v);
    EXPECT_EQ(QDSNoteUpdate(note, 0), NOERROR);
    EXPECT_EQ(QDSNoteClose(note), NOERROR);
    return id;
  }

  // Opens the message, copies it keeping its recipients and adds one.
  STATUS CopyAndAppend(NOTEID id) {
    msg_handle_t src;
    STATUS err = WQSOpenMsgByMsgID(&queue_, id, &src);
    if (err != NOERROR) return err;
    msg_handle_t copy;
    err = WQSCopyMsg(&queue_, &queue_, &src, TRUE, WQS_MSG_SIMPLE, &copy);
    if (err == NOERROR) {
      Recip r = MakeRecip(1);
      recip_info_t ri = RecipInfo(r);
      err = WQSAppendRecipient(&copy, &ri);
      EXPECT_EQ(WQSCloseAndDiscardMsg(&copy), NOERROR);
    }
    EXPECT_EQ(WQSCloseMsg(&src), NOERROR);
    return err;
  }
};

TEST_F(StoredArrayTest, GrowthStepPastABlockSizeIsRefused) {
  // 24 + 50 * 22 + 0xFFFFFFFF * 22 wraps to a size below the array's own.
  EXPECT_EQ(CopyAndAppend(WithGranularity(0xFFFFFFFF)), ERR_WQS_CORRUPT);
  // No wrap, but a growth of some 3 GB for one recipient.
  EXPECT_EQ(CopyAndAppend(WithGranularity(150000000)), ERR_WQS_CORRUPT);
}

TEST_F(StoredArrayTest, OrdinaryGrowthStepStillGrows) {
  EXPECT_EQ(CopyAndAppend(WithGranularity(50)), NOERROR);
  EXPECT_EQ(CopyAndAppend(WithGranularity(0xFFFF)), NOERROR);
}

// The array itself: a growth that would wrap the block size fails and
// leaves the array as it was.
TEST_F(StoredArrayTest, GrowthThatWrapsTheSizeFails) {
  dynarray_t* da = DACreate(sizeof(recip_data_t), 1);
  ASSERT_NE(da, nullptr);
  recip_data_t entry{};
  ASSERT_TRUE(DAAddEntry(&da, &entry));
  da->dwAllocGranularity = 0xFFFFFFFF;
  const DWORD size = da->dwSize;
  EXPECT_FALSE(DAAddEntry(&da, &entry));
  EXPECT_EQ(da->dwSize, size);
  EXPECT_EQ(DAGetNumberOfEntries(da), 1u);
  EXPECT_TRUE(DADestroy(da));
}

}  // namespace
}  // namespace wqstest
