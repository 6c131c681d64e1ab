// Message open on damaged or hand-made documents: every value is checked
// against its own sizes before use, a bad one is refused with
// ERR_WQS_CORRUPT, missing items with the store's status, and a refused
// open leaves no memory block and no open document behind.
#include <cstring>

#include "core_util.h"

namespace wqstest {
namespace {

// A message document described item by item, so each test can break one.
struct Doc {
  msg_info_t info;
  bool withInfo = true;
  Bytes infoValue;  // empty: built from `info`
  std::vector<std::pair<std::string, Bytes>> items;  // raw values, typed
};

class CorruptTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    OpenQueue(&queue_);
    queueOpen_ = true;
  }

  // A sound simple message with `n` recipients in one list.
  Doc Simple(int n) {
    Doc d;
    memset(&d.info, 0, sizeof(d.info));
    d.info.udh.itemNameLength = 32;
    d.info.wMsgType = WQS_MSG_SIMPLE;
    d.info.wNumRecipLists = 1;
    d.info.user.wNumRecip = (WORD)n;
    std::vector<std::string> names;
    for (int i = 0; i < n; i++) names.push_back(MakeRecip(i).name);
    d.items.push_back({"WQSRecip0", TextListValue(names)});
    d.items.push_back({"WQSRecipData", StateArray(n, n, 50 - n, 50)});
    return d;
  }

  Doc Extended(int n) {
    Doc d = Simple(n);
    d.info.wMsgType = WQS_MSG_EXTENDED;
    std::vector<std::string> hops, pos;
    for (int i = 0; i < n; i++) {
      hops.push_back(MakeRecip(i).nextHop);
      pos.push_back(MakeRecip(i).po);
    }
    d.items.push_back({"WQSNHE", TextListValue(hops)});
    d.items.push_back({"WQSPO", TextListValue(pos)});
    return d;
  }

  static Bytes StateArray(int entries, DWORD used, DWORD avail,
                          DWORD capacity) {
    Bytes e;
    for (int i = 0; i < entries; i++) {
      recip_data_t r = MakeRecip(i).data;
      PutBytes(&e, &r, sizeof(r));
    }
    return ArrayItemValue("WQSRecipData", 22, 50, used, avail, capacity, e);
  }

  static Bytes AttachArray(DWORD entrySize, DWORD used, DWORD capacity) {
    return ArrayItemValue("WQS_MSG_ATTACH_BLOCK", entrySize, 1, used,
                          capacity - used, capacity, Bytes());
  }

  static void Replace(Doc* d, const std::string& name, const Bytes& v) {
    for (auto& it : d->items) {
      if (it.first == name) {
        it.second = v;
        return;
      }
    }
    d->items.push_back({name, v});
  }
  static void Remove(Doc* d, const std::string& name) {
    for (size_t i = 0; i < d->items.size(); i++) {
      if (d->items[i].first == name) {
        d->items.erase(d->items.begin() + i);
        return;
      }
    }
  }

  NOTEID Store(const Doc& d) {
    return RawDocument(queue_.dbhandle, [&](NOTEHANDLE note) {
      if (d.withInfo) {
        AppendRawValue(note, "WQSMsgInfo",
                       d.infoValue.empty() ? MsgInfoValue(d.info)
                                           : d.infoValue);
      }
      for (const auto& it : d.items) AppendRawValue(note, it.first, it.second);
    });
  }

  // Opens and expects `want`; a failed open must leave nothing alive.
  void ExpectOpen(const Doc& d, STATUS want) {
    NOTEID id = Store(d);
    ASSERT_NE(id, 0u);
    DWORD before = OSMemTestTotalBlocks();
    msg_handle_t h;
    memset(&h, 0, sizeof(h));
    STATUS err = WQSOpenMsgByMsgID(&queue_, id, &h);
    EXPECT_EQ(err, want);
    if (err == NOERROR) {
      EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
    } else {
      // The document was closed again: closing the handle it had fails.
      EXPECT_NE(QDSNoteClose(h.hNote), NOERROR);
    }
    EXPECT_EQ(OSMemTestTotalBlocks(), before);
  }
};

TEST_F(CorruptTest, SoundDocumentsOpen) {
  ExpectOpen(Simple(0), NOERROR);
  ExpectOpen(Simple(3), NOERROR);
  ExpectOpen(Extended(3), NOERROR);
  // Extra bytes after the stored array are tolerated.
  Doc d = Simple(2);
  Bytes v = StateArray(2, 2, 48, 50);
  v.resize(v.size() + 10, 0xEE);
  Replace(&d, "WQSRecipData", v);
  ExpectOpen(d, NOERROR);
  // Fewer recipients counted than stored is fine.
  d = Simple(3);
  d.info.user.wNumRecip = 1;
  ExpectOpen(d, NOERROR);
}

TEST_F(CorruptTest, MsgInfo) {
  Doc d = Simple(1);
  d.withInfo = false;
  ExpectOpen(d, ERR_ITEM_NOT_FOUND);
  d = Simple(1);
  d.infoValue = MsgInfoValue(d.info);
  d.infoValue.resize(87);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  d.infoValue.resize(2);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  d.infoValue = MsgInfoValue(d.info);
  d.infoValue.push_back(0);  // longer is fine
  ExpectOpen(d, NOERROR);
}

TEST_F(CorruptTest, RecipDataMissingIsGeneralFailure) {
  Doc d = Simple(1);
  Remove(&d, "WQSRecipData");
  ExpectOpen(d, ERR_WQS_GENERAL);
}

TEST_F(CorruptTest, RecipDataSizes) {
  Doc d = Simple(1);
  Bytes good = StateArray(1, 1, 49, 50);
  Bytes v = good;
  v.resize(57);  // shorter than the type, header and array header
  Replace(&d, "WQSRecipData", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  v = good;
  v.resize(good.size() - 1);  // shorter than 34 + dwSize
  Replace(&d, "WQSRecipData", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  v = good;
  v[38] = 23;  // dwSize below the array header
  v[39] = 0;
  Replace(&d, "WQSRecipData", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
}

TEST_F(CorruptTest, RecipDataHeaderDisagrees) {
  struct Case {
    const char* what;
    size_t at;
    DWORD value;
  } cases[] = {
      {"dwSize not a whole number of entries", 38, 24 + 22 * 49 + 1},
      {"entry size of another table", 42, 84},
      {"entry size 0", 42, 0},
      {"granularity 0", 46, 0},
      {"used past capacity", 50, 51},
      {"used + free past capacity", 54, 50},
      {"fewer used than recipients", 50, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Doc d = Simple(1);
    Bytes v = StateArray(1, 1, 49, 50);
    v[c.at] = (BYTE)c.value;
    v[c.at + 1] = (BYTE)(c.value >> 8);
    v[c.at + 2] = (BYTE)(c.value >> 16);
    v[c.at + 3] = (BYTE)(c.value >> 24);
    Replace(&d, "WQSRecipData", v);
    ExpectOpen(d, ERR_WQS_CORRUPT);
  }
  // A smaller dwSize that still describes whole entries is sound.
  Doc d = Simple(1);
  Bytes v = StateArray(1, 1, 0, 1);
  Replace(&d, "WQSRecipData", v);
  ExpectOpen(d, NOERROR);
}

TEST_F(CorruptTest, RecipLists) {
  Doc d = Simple(2);
  Remove(&d, "WQSRecip0");
  ExpectOpen(d, ERR_ITEM_NOT_FOUND);

  // Counts and lengths that overrun the value.
  d = Simple(2);
  Bytes v = TextListValue({"alpha", "beta"});
  v.pop_back();
  Replace(&d, "WQSRecip0", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  v = TextListValue({"alpha", "beta"});
  v[2] = 200;  // count
  Replace(&d, "WQSRecip0", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  // The store keeps at least the type code; a list needs its count too.
  Replace(&d, "WQSRecip0", Bytes{0x01, 0x05});
  ExpectOpen(d, ERR_WQS_CORRUPT);
  Replace(&d, "WQSRecip0", Bytes{0x01, 0x05, 0x00});
  ExpectOpen(d, ERR_WQS_CORRUPT);
  // A value of another type is not a list.
  Replace(&d, "WQSRecip0", Bytes{0x00, 0x05, 0x02, 0x00, 0, 0, 0, 0});
  ExpectOpen(d, ERR_WQS_CORRUPT);

  // Fewer names than recipients.
  d = Simple(2);
  Replace(&d, "WQSRecip0", TextListValue({"only-one"}));
  ExpectOpen(d, ERR_WQS_CORRUPT);

  // A second list counted but not stored.
  d = Simple(2);
  d.info.wNumRecipLists = 2;
  ExpectOpen(d, ERR_ITEM_NOT_FOUND);
  // Stored, and the names add up over both lists.
  d.info.user.wNumRecip = 3;
  Replace(&d, "WQSRecipData", StateArray(3, 3, 47, 50));
  Replace(&d, "WQSRecip1", TextListValue({"third"}));
  ExpectOpen(d, NOERROR);
  // A bad later list is caught too, after earlier copies were made.
  Replace(&d, "WQSRecip1", Bytes{0x01, 0x05, 0x01});
  ExpectOpen(d, ERR_WQS_CORRUPT);
}

TEST_F(CorruptTest, ExtendedLists) {
  Doc d = Extended(2);
  Remove(&d, "WQSNHE");
  ExpectOpen(d, ERR_ITEM_NOT_FOUND);
  d = Extended(2);
  Remove(&d, "WQSPO");
  ExpectOpen(d, ERR_ITEM_NOT_FOUND);
  d = Extended(2);
  Replace(&d, "WQSNHE", TextListValue({"one"}));
  ExpectOpen(d, ERR_WQS_CORRUPT);
  d = Extended(2);
  Bytes v = TextListValue({"p1", "p2"});
  v[4] = 0xFF;  // first length
  Replace(&d, "WQSPO", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  // Names for an extended message come from list 0 alone.
  d = Extended(2);
  d.info.wNumRecipLists = 2;
  Replace(&d, "WQSRecip0", TextListValue({"one"}));
  Replace(&d, "WQSRecip1", TextListValue({"two"}));
  ExpectOpen(d, ERR_WQS_CORRUPT);
}

TEST_F(CorruptTest, AttachInfo) {
  Doc d = Simple(1);
  d.info.wNumAttachments = 1;
  ExpectOpen(d, ERR_ITEM_NOT_FOUND);
  Replace(&d, "WQSAttachInfo", AttachArray(84, 1, 1));
  ExpectOpen(d, NOERROR);
  Bytes v = AttachArray(84, 1, 1);
  v.resize(57);
  Replace(&d, "WQSAttachInfo", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  v = AttachArray(84, 1, 1);
  v.resize(v.size() - 1);
  Replace(&d, "WQSAttachInfo", v);
  ExpectOpen(d, ERR_WQS_CORRUPT);
  Replace(&d, "WQSAttachInfo", AttachArray(22, 1, 1));
  ExpectOpen(d, ERR_WQS_CORRUPT);
  Replace(&d, "WQSAttachInfo", AttachArray(84, 0, 1));
  ExpectOpen(d, ERR_WQS_CORRUPT);
  d.info.wNumAttachments = 2;
  Replace(&d, "WQSAttachInfo", AttachArray(84, 1, 2));
  ExpectOpen(d, ERR_WQS_CORRUPT);
}

TEST_F(CorruptTest, RecipientReadsStayInRange) {
  // Three state entries but one name: reading recipient 1 must not walk
  // off the lists even though the state array has an entry for it.
  Doc d = Simple(3);
  d.info.user.wNumRecip = 1;
  Replace(&d, "WQSRecip0", TextListValue({"only"}));
  NOTEID id = Store(d);
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  recip_info_t ri;
  memset(&ri, 0, sizeof(ri));
  ASSERT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(std::string(ri.pName, ri.wNameLen), "only");
  memset(&ri, 0, sizeof(ri));
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSGetRecipient(&h, 3, &ri), ERR_WQS_RECIP_RANGE);
  // The state entry itself exists.
  recip_data_t* p = nullptr;
  WQSGetRecipientData(&h, 2, &p);
  EXPECT_NE(p, nullptr);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);

  // An extended message read as such, with short next-hop lists.
  d = Extended(2);
  d.info.user.wNumRecip = 1;
  Replace(&d, "WQSNHE", TextListValue({"h0"}));
  id = Store(d);
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, id, &h), NOERROR);
  EXPECT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

}  // namespace
}  // namespace wqstest
