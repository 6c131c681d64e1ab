// Stored-format checks: sound messages of every shape pass, and each kind
// of damage written through the store is found and named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk_verify.h"

namespace {

using Mutate = std::function<void(std::string& value)>;

void PutDword(std::string& v, size_t off, DWORD x) {
  for (int i = 0; i < 4; i++) v[off + i] = static_cast<char>(x >> (8 * i));
}
void PutWord(std::string& v, size_t off, WORD x) {
  v[off] = static_cast<char>(x);
  v[off + 1] = static_cast<char>(x >> 8);
}

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

  // A message of `type` with `recips` recipients, optionally an attached
  // file and a stream "Body" of `bodyBytes` bytes.
  NOTEID Save(WORD type, int recips, bool attach = false,
              DWORD bodyBytes = 0) {
    msg_handle_t m;
    EXPECT_EQ(WQSCreateMsg(&q_, type, &m), NOERROR);
    for (int i = 0; i < recips; i++) {
      std::string name = "rcpt" + std::to_string(i) + "@example.org";
      recip_info_t ri{};
      ri.pName = name.data();
      ri.wNameLen = (WORD)name.size();
      ri.pNextHop = const_cast<char*>("mx.example.net");
      ri.wNextHopLen = 14;
      ri.pPOName = const_cast<char*>("PO");
      ri.wPONameLen = 2;
      EXPECT_EQ(WQSAppendRecipient(&m, &ri), NOERROR);
    }
    if (attach) {
      file_descriptor_t fd{};
      fd.fileType = 1;
      std::memcpy(fd.fileName, "a.txt", 5);
      fd.wNameLen = 5;
      fd.size = 300;
      file_block_t fb;
      EXPECT_EQ(WQSCreateFileBlock(&m, &fd, &fb), NOERROR);
    }
    if (bodyBytes > 0) {
      data_stream_block_t dsb;
      EXPECT_EQ(WQSCreateDataStreamBlock(&m, "Body", &dsb), NOERROR);
      std::string chunk(WQS_DSB_MAX_CHUNK, 'x');
      for (DWORD done = 0; done < bodyBytes;) {
        DWORD n = std::min<DWORD>(bodyBytes - done, WQS_DSB_MAX_CHUNK);
        done += n;
        EXPECT_EQ(WQSAppendDataStreamBlock(&m, &dsb, done < bodyBytes,
                                           chunk.data(), n),
                  NOERROR);
      }
    }
    EXPECT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
    return m.info.user.dwQueueMsgID;
  }

  // Rewrites item `name` of message `id` (whole value, type code first)
  // through the store, as a damaged file or a foreign writer would leave it.
  void Damage(NOTEID id, const std::string& name, const Mutate& mutate) {
    NOTEHANDLE note;
    ASSERT_EQ(QDSNoteOpen(q_.dbhandle, id, 0, &note), NOERROR);
    BLOCKID bid;
    DWORD len = 0;
    WORD type = 0;
    ASSERT_EQ(QDSItemInfo(note, name.data(), (WORD)name.size(), &type, &bid,
                          &len),
              NOERROR);
    std::string v(OSLockBlock(bid), len);
    OSUnlockBlock(bid);
    mutate(v);
    ASSERT_EQ(QDSItemDelete(note, name.data(), (WORD)name.size()), NOERROR);
    ASSERT_EQ(QDSItemAppend(note, 0, name.data(), (WORD)name.size(), type,
                            v.data() + 2, (DWORD)v.size() - 2),
              NOERROR);
    ASSERT_EQ(QDSNoteUpdate(note, 0), NOERROR);
    ASSERT_EQ(QDSNoteClose(note), NOERROR);
  }
  void Remove(NOTEID id, const std::string& name) {
    NOTEHANDLE note;
    ASSERT_EQ(QDSNoteOpen(q_.dbhandle, id, 0, &note), NOERROR);
    ASSERT_EQ(QDSItemDelete(note, name.data(), (WORD)name.size()), NOERROR);
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
      Save(WQS_MSG_EXTENDED, 60), Save(WQS_MSG_EXTENDED, 2, true, 150000),
      Save(WQS_MSG_SIMPLE, 1, true, 1)};
  for (NOTEID id : ids) EXPECT_EQ("", Check(id)) << "note " << id;
  DWORD checked = 0, damaged = 7;
  EXPECT_EQ(WQHKVerifyQueue(&q_, nullptr, nullptr, &checked, &damaged),
            NOERROR);
  EXPECT_EQ(ids.size(), checked);
  EXPECT_EQ(0u, damaged);
}

TEST_F(VerifyTest, ACopyCarryingItsSourcesFilesPasses) {
  NOTEID src = Save(WQS_MSG_EXTENDED, 2, true, 1000);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&q_, src, &h), NOERROR);
  for (BOOL keep : {TRUE, FALSE}) {
    msg_handle_t copy;
    ASSERT_EQ(WQSCopyMsg(&q_, &q_, &h, keep, WQS_MSG_EXTENDED, &copy), NOERROR);
    ASSERT_EQ(WQSCloseAndSaveMsg(&copy), NOERROR);
    EXPECT_EQ("", Check(copy.info.user.dwQueueMsgID)) << "keep " << keep;
  }
  ASSERT_EQ(WQSCloseMsg(&h), NOERROR);
}

TEST_F(VerifyTest, SimpleMessageAcrossTwoRecipientListsPasses) {
  msg_handle_t m;
  ASSERT_EQ(WQSCreateMsg(&q_, WQS_MSG_SIMPLE, &m), NOERROR);
  std::string name(250, 'n');
  for (int i = 0; i < 300; i++) {  // 300 * 252 bytes: past one list's bound
    recip_info_t ri{};
    ri.pName = name.data();
    ri.wNameLen = (WORD)name.size();
    ASSERT_EQ(WQSAppendRecipient(&m, &ri), NOERROR);
  }
  ASSERT_EQ(WQSCloseAndSaveMsg(&m), NOERROR);
  ASSERT_GE(m.info.wNumRecipLists, 2);
  EXPECT_EQ("", Check(m.info.user.dwQueueMsgID));
}

// Each kind of damage, and the words the reason must use to point at it.
TEST_F(VerifyTest, EveryKindOfDamageIsNamed) {
  struct Case {
    const char* what;
    WORD type;
    bool attach;
    DWORD body;
    std::function<void(VerifyTest*, NOTEID)> damage;
    const char* reason;
  };
  const size_t kUser = 2 + 38;  // user_msg_info_t in the stored WQSMsgInfo
  std::vector<Case> cases = {
      {"short info block", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_MSGINFO, [](std::string& v) { v.resize(60); });
       },
       "WQSMsgInfo: 60 bytes"},
      {"unknown message type", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_MSGINFO,
                   [](std::string& v) { PutWord(v, 2 + 32, 7); });
       },
       "message type 7"},
      {"more recipients than names", WQS_MSG_SIMPLE, false, 0,
       [=](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_MSGINFO,
                   [=](std::string& v) { PutWord(v, kUser + 8, 4); });
       },
       "hold 3 names, wNumRecip is 4"},
      {"recipient list missing", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_MSGINFO,
                   [](std::string& v) { PutWord(v, 2 + 36, 2); });
       },
       "WQSRecip1 missing"},
      {"list lengths past the value", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, "WQSRecip0",
                   [](std::string& v) { PutWord(v, 4, 0xFFF0); });
       },
       "run past"},
      {"no recipient states at all", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) { t->Remove(id, WQS_ITEM_RECIPDATA); },
       "no WQSRecipData"},
      {"next-hop list short", WQS_MSG_EXTENDED, false, 0,
       [](VerifyTest* t, NOTEID id) { t->Remove(id, WQS_ITEM_NHE); },
       "without WQSNHE"},
      {"array size against value", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_RECIPDATA,
                   [](std::string& v) { PutDword(v, 34 + 4, 5000); });
       },
       "dwSize 5000"},
      {"fewer states than recipients", WQS_MSG_SIMPLE, false, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_RECIPDATA, [](std::string& v) {
           PutDword(v, 34 + 16, 2);   // used
           PutDword(v, 34 + 20, 48);  // free
         });
       },
       "2 recipient states, wNumRecip is 3"},
      {"attachment count", WQS_MSG_SIMPLE, true, 0,
       [=](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_MSGINFO,
                   [](std::string& v) { PutWord(v, 2 + 34, 2); });
       },
       "1 entries, wNumAttachments is 2"},
      {"attachment object length", WQS_MSG_SIMPLE, true, 0,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, WQS_ITEM_ATTACHINFO, [](std::string& v) {
           PutDword(v, 58 + 8, 999);       // dwLength
           PutDword(v, 58 + 12 + 36, 999); // fd.size
         });
       },
       "holds 300 bytes, table says 999"},
      {"stream piece missing", WQS_MSG_SIMPLE, false, 130000,
       [](VerifyTest* t, NOTEID id) { t->Remove(id, "Body1"); },
       "piece Body1 missing"},
      {"stream pieces against the total", WQS_MSG_SIMPLE, false, 130000,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, "WQSDSBArrayBody",
                   [](std::string& v) { PutDword(v, 58, 130001); });
       },
       "add up to 130000, total is 130001"},
      {"stream piece shorter than its entry", WQS_MSG_SIMPLE, false, 130000,
       [](VerifyTest* t, NOTEID id) {
         t->Damage(id, "Body2", [](std::string& v) { v.resize(v.size() - 1); });
       },
       "piece Body2 holds"},
      {"stream size item", WQS_MSG_SIMPLE, false, 1000,
       [](VerifyTest* t, NOTEID id) { t->Remove(id, "WQSDSBSizeBody"); },
       "no size item"},
  };
  DWORD damagedBefore = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NOTEID id = Save(c.type, 3, c.attach, c.body);
    ASSERT_EQ("", Check(id));
    c.damage(this, id);
    std::string reason = Check(id);
    EXPECT_NE(std::string::npos, reason.find(c.reason)) << reason;
    damagedBefore++;
  }
  // The walk over the whole queue counts every one of them and reports
  // each to the callback.
  std::vector<NOTEID> seen;
  DWORD checked = 0, damaged = 0;
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
  EXPECT_EQ(damagedBefore, damaged);
  EXPECT_EQ(damagedBefore, seen.size());
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
