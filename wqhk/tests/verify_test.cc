// Stored-format checks: sound messages of every shape pass, and each kind
// of damage written through the store is found and named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk_verify.h"

namespace {

// (offset, width, value) patches to one item's whole value, type code first;
// width 0 cuts the value at `offset`, width -1 stores it with type `value`.
struct Patch {
  size_t off;
  int width;
  DWORD value;
};

class VerifyTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string tmpl = "/tmp/wqhkverify-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    setenv("TAVLO_DATA", dir_.c_str(), 1);
    std::string path = dir_ + "/verify.qds";
    ASSERT_EQ(QDSDbCreate(path.c_str(), WQS_QUEUE_DB_CLASS, FALSE), NOERROR);
    ASSERT_EQ(QDSDbOpen(path.c_str(), &q_.dbhandle), NOERROR);
    blocks_ = OSMemTestTotalBlocks();
  }
  void TearDown() override {
    EXPECT_EQ(blocks_, OSMemTestTotalBlocks());
    QDSDbClose(q_.dbhandle);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A message of `type` with `recips` recipients (names padded to `nameLen`),
  // optionally an attached file and a stream "Body" of `bodyBytes` bytes.
  NOTEID Save(WORD type, int recips, bool attach = false, DWORD bodyBytes = 0,
              size_t nameLen = 0) {
    msg_handle_t m;
    EXPECT_EQ(WQSCreateMsg(&q_, type, &m), NOERROR);
    for (int i = 0; i < recips; i++) {
      std::string name = "rcpt" + std::to_string(i) + "@example.org";
      if (name.size() < nameLen) name.resize(nameLen, 'n');
      recip_info_t ri{name.data(), (WORD)name.size(), const_cast<char*>("mx.example.net"), 14,
                      const_cast<char*>("PO"), 2, {}};
      EXPECT_EQ(WQSAppendRecipient(&m, &ri), NOERROR);
    }
    if (attach) {
      file_descriptor_t fd{};
      fd.fileType = 1;
      std::memcpy(fd.fileName, "a.txt", fd.wNameLen = 5);
      fd.size = 300;
      file_block_t fb;
      EXPECT_EQ(WQSCreateFileBlock(&m, &fd, &fb), NOERROR);
    }
    data_stream_block_t dsb;
    if (bodyBytes > 0) { EXPECT_EQ(WQSCreateDataStreamBlock(&m, "Body", &dsb), NOERROR); }
    std::string chunk(WQS_DSB_MAX_CHUNK, 'x');
    for (DWORD done = 0; done < bodyBytes;) {
      DWORD n = std::min<DWORD>(bodyBytes - done, WQS_DSB_MAX_CHUNK);
      done += n;
      EXPECT_EQ(WQSAppendDataStreamBlock(&m, &dsb, done < bodyBytes, chunk.data(), n), NOERROR);
    }
    EXPECT_EQ(WQSAddDWORD(&m, TRUE, "WQMsgStatus", 9), NOERROR);
    EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
    return m.info.user.dwQueueMsgID;
  }

  // Rewrites item `name` of message `id` (whole value, type code first)
  // through the store as a damaged file would; without patches, removes it.
  void Damage(NOTEID id, const std::string& name, const std::vector<Patch>& patches) {
    NOTEHANDLE note;
    ASSERT_EQ(QDSNoteOpen(q_.dbhandle, id, 0, &note), NOERROR);
    BLOCKID bid;
    DWORD len = 0;
    WORD type = 0;
    ASSERT_EQ(QDSItemInfo(note, name.data(), (WORD)name.size(), &type, &bid, &len),
              NOERROR);
    std::string v(OSLockBlock(bid), len);
    OSUnlockBlock(bid);
    ASSERT_EQ(QDSItemDelete(note, name.data(), (WORD)name.size()), NOERROR);
    if (!patches.empty()) {
      for (const Patch& p : patches) {
        if (p.width == 0) v.resize(p.off);
        if (p.width < 0) type = static_cast<WORD>(p.value);
        for (int b = 0; b < p.width; b++) v[p.off + b] = (char)(p.value >> (8 * b));
      }
      ASSERT_EQ(QDSItemAppend(note, 0, name.data(), (WORD)name.size(), type,
                              v.data() + 2, (DWORD)v.size() - 2),
                NOERROR);
    }
    ASSERT_EQ(QDSNoteUpdate(note, 0), NOERROR);
    ASSERT_EQ(QDSNoteClose(note), NOERROR);
  }

  // The reason the check gives, "" for a sound message.
  std::string Check(NOTEID id) {
    wq_verify_result_t r;
    EXPECT_EQ(WQHKVerifyMsg(&q_, id, &r), NOERROR);
    EXPECT_EQ(r.noteId, id);
    EXPECT_EQ(r.bDamaged != FALSE, r.szReason[0] != 0);
    return r.szReason;
  }

  std::string dir_;
  queue_handle_t q_{};
  DWORD blocks_ = 0;
};

TEST_F(VerifyTest, SoundMessagesOfEveryShapePass) {
  std::vector<NOTEID> ids = {
      Save(WQS_MSG_SIMPLE, 0), Save(WQS_MSG_SIMPLE, 3),
      Save(WQS_MSG_SIMPLE, 300, false, 0, 250),  // past one list: two lists
      Save(WQS_MSG_EXTENDED, 60), Save(WQS_MSG_EXTENDED, 2, true, 150000),
      Save(WQS_MSG_SIMPLE, 1, true, 1)};
  // Copies keep their source's $FILE items while counting none.
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q_, ids[4], &h), NOERROR);
  for (BOOL keep : {TRUE, FALSE}) {
    msg_handle_t copy;
    ASSERT_EQ(WQSCopyMsg(&q_, &q_, &h, keep, WQS_MSG_EXTENDED, &copy), NOERROR);
    ASSERT_EQ(WQSCloseAndSaveMsg(&copy), NOERROR);
    NOTEID id = copy.info.user.dwQueueMsgID;  // packed: copy, never bind
    ids.push_back(id);
  }
  ASSERT_EQ(WQSCloseMsg(&h), NOERROR);
  for (NOTEID id : ids) EXPECT_EQ("", Check(id)) << "note " << id;
}

// Each kind of damage and the words its reason must use; no patches removes
// the item.
struct Case {
  WORD type;
  bool attach;
  DWORD body;
  const char* item;
  std::vector<Patch> patches;
  const char* reason;
};

TEST_F(VerifyTest, EveryKindOfDamageIsNamed) {
  const size_t kUser = 2 + 38;  // user_msg_info_t in the stored WQSMsgInfo
  const size_t kImg = 34;       // array image in an array item
  const size_t kEntry = kImg + 24;  // its first entry
  const WORD S = WQS_MSG_SIMPLE, X = WQS_MSG_EXTENDED;
  const std::vector<Case> cases = {
      {S, false, 0, WQS_ITEM_MSGINFO, {{60, 0, 0}}, "WQSMsgInfo: 60 bytes"},
      {S, false, 0, WQS_ITEM_MSGINFO, {{34, 2, 7}}, "message type 7"},
      {S, false, 0, WQS_ITEM_MSGINFO, {{kUser + 8, 2, 4}}, "hold 3 names, wNumRecip is 4"},
      {S, false, 0, WQS_ITEM_MSGINFO, {{38, 2, 2}}, "WQSRecip1 missing"},
      {S, false, 0, "WQSRecip0", {{4, 2, 0xFFF0}}, "run past"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {}, "no WQSRecipData"},
      {X, false, 0, WQS_ITEM_NHE, {}, "without WQSNHE"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 4, 4, 5000}}, "dwSize 5000"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 16, 4, 2}, {kImg + 20, 4, 48}},
       "2 recipient states, wNumRecip is 3"},
      {S, true, 0, WQS_ITEM_MSGINFO, {{36, 2, 2}}, "1 entries, wNumAttachments is 2"},
      {S, true, 0, WQS_ITEM_ATTACHINFO, {{58 + 8, 4, 999}, {58 + 12 + 36, 4, 999}},
       "holds 300 bytes, table says 999"},
      {S, false, 130000, "Body1", {}, "piece Body1 missing"},
      {S, false, 130000, "WQSDSBArrayBody", {{58, 4, 130001}},
       "add up to 130000, total is 130001"},
      {S, false, 130000, "Body2", {{130000 - 2 * 60416 + 1, 0, 0}}, "piece Body2 holds"},
      {S, false, 1000, "WQSDSBSizeBody", {}, "no size item"},
      {S, false, 0, WQS_ITEM_MSGINFO, {}, "no WQSMsgInfo item"},
      {S, false, 0, WQS_ITEM_MSGINFO, {{38, 2, 0}}, "wNumRecipLists is 0"},
      {X, false, 0, WQS_ITEM_MSGINFO, {{38, 2, 2}}, "extended message with 2 recipient lists"},
      {X, false, 0, WQS_ITEM_NHE, {{2, 2, 2}}, "WQSNHE has 2 entries, wNumRecip is 3"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{40, 0, 0}}, "40 bytes, shorter than an array header"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 8, 4, 20}}, "entry size 20, expected 22"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 12, 4, 0}}, "growth step 0"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 24 + 221, 0, 0}, {kImg + 4, 4, 245}},
       "dwSize 245 is not a whole number of 22-byte entries"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 20, 4, 0}}, "3 used + 0 free entries, but room for 50"},
      {S, true, 0, WQS_ITEM_ATTACHINFO, {}, "wNumAttachments is 1 but there is no WQSAttachInfo"},
      {S, true, 0, WQS_ITEM_ATTACHINFO, {{kImg + 12, 4, 0}}, "WQSAttachInfo: growth step 0"},
      {S, true, 0, "$FILE", {}, "0 $FILE items for 1 attachments"},
      {S, true, 0, WQS_ITEM_ATTACHINFO, {{kEntry + 46, 2, 40}}, "name length 40 over 32"},
      {S, true, 0, WQS_ITEM_ATTACHINFO, {{kEntry + 48, 4, 500}},
       "length 300, its sizes add up to 500"},
      {S, true, 0, WQS_ITEM_ATTACHINFO, {{kEntry, 4, 0x7FFF}}, "object 32767 is missing"},
      {S, false, 1000, "WQSDSBArrayBody", {}, "size item without a piece table"},
      {S, false, 1000, "WQSDSBArrayBody", {{kImg + 16, 4, 0}, {kImg + 20, 4, 2}},
       "empty piece table"},
      {S, false, 1000, "WQSDSBArrayBody", {{kEntry + 4, 4, 0}}, "piece 0 of 0 bytes"},
      {S, false, 1000, "WQSDSBSizeBody", {{2, 4, 1}}, "size item does not hold the total 1000"},
      {S, false, 0, WQS_ITEM_MSGINFO, {{0, -1, TYPE_TEXT}}, "WQSMsgInfo: type 0x0500, not user data"},
      {S, false, 0, WQS_ITEM_RECIPDATA, {{0, -1, TYPE_TEXT}}, "WQSRecipData: type 0x0500, not user data"},
      {S, false, 0, "WQSRecip0", {{0, -1, TYPE_TEXT}}, "WQSRecip0: not a text list (type 0x0500)"},
      // 9 with one bit of its fraction flipped: read as 9, searched as not 9.
      {S, false, 0, "WQMsgStatus", {{4, 1, 0x7E}}, "WQMsgStatus is 9.0000000146683306, not a whole number"},
      // Sound to the format, refused by the library: a growth step past 65535.
      {S, false, 0, WQS_ITEM_RECIPDATA, {{kImg + 12, 4, 70000}}, "the library cannot open it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    NOTEID id = Save(c.type, 3, c.attach, c.body);
    ASSERT_EQ("", Check(id));
    Damage(id, c.item, c.patches);
    std::string reason = Check(id);
    EXPECT_NE(std::string::npos, reason.find(c.reason)) << reason;
  }
  // The queue walk counts and reports every one.
  std::vector<NOTEID> seen;
  DWORD checked = 7, damaged = 7;  // set, not added to
  EXPECT_EQ(WQHKVerifyQueue(
                &q_,
                [](void* arg, const wq_verify_result_t* r) -> STATUS {
                  if (r->bDamaged)
                    static_cast<std::vector<NOTEID>*>(arg)->push_back(r->noteId);
                  return NOERROR;
                },
                &seen, &checked, &damaged),
            NOERROR);
  EXPECT_EQ(cases.size(), checked);
  EXPECT_EQ(cases.size(), damaged);
  EXPECT_EQ(cases.size(), seen.size());
}

TEST_F(VerifyTest, ACheckThatCannotRunIsAStatusNotAVerdict) {
  wq_verify_result_t r;
  EXPECT_EQ(WQHKVerifyMsg(&q_, 4242, &r), ERR_NOTE_NOT_FOUND);
  EXPECT_FALSE(r.bDamaged);
  // A callback's refusal stops the walk with its own status.
  Save(WQS_MSG_SIMPLE, 1);
  Save(WQS_MSG_SIMPLE, 1);
  DWORD checked = 0;
  EXPECT_EQ(WQHKVerifyQueue(
                &q_,
                [](void*, const wq_verify_result_t*) -> STATUS {
                  return ERR_WQS_GENERAL;
                },
                nullptr, &checked, nullptr),
            ERR_WQS_GENERAL);
  EXPECT_EQ(1u, checked);
}

}  // namespace
