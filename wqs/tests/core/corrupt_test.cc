// Message open on damaged or hand-made documents: every value is checked
// against its own sizes before use, a bad one is refused with
// ERR_WQS_CORRUPT, missing items with the store's status, and a refused
// open leaves no memory block and no open document behind.
#include "core_util.h"

namespace wqstest {
namespace {

// A message document described item by item, so each case can break one.
struct Doc {
  msg_info_t info{};
  bool withInfo = true;
  Bytes infoValue;  // empty: built from `info`
  std::vector<std::pair<std::string, Bytes>> items;

  Doc With(const std::string& name, const Bytes& v) const {
    Doc d = *this;
    d.Without(name).items.push_back({name, v});
    return d;
  }
  Doc& Without(const std::string& name) {
    for (size_t i = 0; i < items.size(); i++) {
      if (items[i].first == name) items.erase(items.begin() + i--);
    }
    return *this;
  }
  Doc Info(const std::function<void(msg_info_t*)>& f) const {
    Doc d = *this;
    f(&d.info);
    return d;
  }
};

Bytes StateArray(int entries, DWORD used, DWORD avail, DWORD capacity) {
  Bytes e;
  for (int i = 0; i < entries; i++) {
    recip_data_t r = MakeRecip(i).data;
    PutBytes(&e, &r, sizeof(r));
  }
  return ArrayItemValue("WQSRecipData", 22, 50, used, avail, capacity, e);
}

// A state array of one entry in 50 slots with a header DWORD replaced.
Bytes StatePatched(size_t at, DWORD value) {
  Bytes v = StateArray(1, 1, 49, 50);
  for (int i = 0; i < 4; i++) v[at + i] = (BYTE)(value >> (8 * i));
  return v;
}

Bytes AttachArray(DWORD entrySize, DWORD used, DWORD capacity) {
  return ArrayItemValue("WQS_MSG_ATTACH_BLOCK", entrySize, 1, used,
                        capacity - used, capacity, Bytes());
}

Bytes Resized(Bytes v, size_t n) {
  v.resize(n, 0xEE);
  return v;
}

Bytes Patched(Bytes v, size_t at, BYTE b) {
  v.at(at) = b;
  return v;
}

// A sound message with `n` recipients in one list.
Doc Sound(int n, bool extended = false) {
  Doc d;
  d.info.udh.itemNameLength = 32;
  d.info.wMsgType = extended ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
  d.info.wNumRecipLists = 1;
  d.info.user.wNumRecip = (WORD)n;
  std::vector<std::string> names, hops, pos;
  for (const Recip& r : MakeRecips(n)) {
    names.push_back(r.name);
    hops.push_back(r.nextHop);
    pos.push_back(r.po);
  }
  d.items = {{"WQSRecip0", TextListValue(names)},
             {"WQSRecipData", StateArray(n, n, 50 - n, 50)}};
  if (extended) {
    d.items.push_back({"WQSNHE", TextListValue(hops)});
    d.items.push_back({"WQSPO", TextListValue(pos)});
  }
  return d;
}

class CorruptTest : public QueueTest {
 protected:
  NOTEID Store(const Doc& d) {
    return RawDocument(db(), [&](NOTEHANDLE note) {
      if (d.withInfo) {
        AppendRawValue(
            note, "WQSMsgInfo",
            d.infoValue.empty() ? MsgInfoValue(d.info) : d.infoValue);
      }
      for (const auto& it : d.items) AppendRawValue(note, it.first, it.second);
    });
  }
  // Opens and expects `want`; a failed open must leave nothing alive.
  void ExpectOpen(const Doc& d, STATUS want, const char* what) {
    SCOPED_TRACE(what);
    NOTEID id = Store(d);
    ASSERT_NE(id, 0u);
    DWORD before = OSMemTestTotalBlocks();
    msg_handle_t h{};
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

TEST_F(CorruptTest, SoundVariantsOpen) {
  ExpectOpen(Sound(0), NOERROR, "no recipients");
  ExpectOpen(Sound(3), NOERROR, "three");
  ExpectOpen(Sound(3, true), NOERROR, "extended");
  ExpectOpen(Sound(2).With("WQSRecipData",
                           Resized(StateArray(2, 2, 48, 50), 1158 + 10)),
             NOERROR, "bytes after the array");
  ExpectOpen(Sound(3).Info([](msg_info_t* i) { i->user.wNumRecip = 1; }),
             NOERROR, "fewer counted than stored");
  ExpectOpen(Sound(1).With("WQSRecipData", StateArray(1, 1, 0, 1)), NOERROR,
             "smaller dwSize of whole entries");
  Doc d = Sound(1);
  d.infoValue = Resized(MsgInfoValue(d.info), 89);
  ExpectOpen(d, NOERROR, "longer message info");
}

TEST_F(CorruptTest, MessageInfoAndStateArray) {
  Doc d = Sound(1);
  d.withInfo = false;
  ExpectOpen(d, ERR_ITEM_NOT_FOUND, "no message info");
  d.withInfo = true;
  for (size_t n : {87, 2}) {
    d.infoValue = Resized(MsgInfoValue(d.info), n);
    ExpectOpen(d, ERR_WQS_CORRUPT, "short message info");
  }
  d = Sound(1);
  ExpectOpen(Doc(d).Without("WQSRecipData"), ERR_WQS_GENERAL, "no state array");
  const Bytes good = StateArray(1, 1, 49, 50);
  struct {
    const char* what;
    Bytes value;
  } cases[] = {
      {"shorter than its headers", Resized(good, 57)},
      {"shorter than 34 + dwSize", Resized(good, good.size() - 1)},
      {"dwSize below the header", StatePatched(38, 23)},
      {"dwSize not whole entries", StatePatched(38, 24 + 22 * 49 + 1)},
      {"entry size of another table", StatePatched(42, 84)},
      {"entry size 0", StatePatched(42, 0)},
      {"granularity 0", StatePatched(46, 0)},
      {"used past capacity", StatePatched(50, 51)},
      {"used + free past capacity", StatePatched(54, 50)},
      {"fewer used than recipients", StatePatched(50, 0)},
  };
  for (const auto& c : cases) {
    ExpectOpen(d.With("WQSRecipData", c.value), ERR_WQS_CORRUPT, c.what);
  }
}

TEST_F(CorruptTest, RecipientLists) {
  const Doc d = Sound(2), x = Sound(2, true);
  const Bytes two = TextListValue({"alpha", "beta"});
  auto twoLists = [](msg_info_t* i) { i->wNumRecipLists = 2; };
  ExpectOpen(Doc(d).Without("WQSRecip0"), ERR_ITEM_NOT_FOUND, "no list 0");
  struct {
    const char* what;
    Bytes value;
  } bad[] = {
      {"one byte short", Resized(two, two.size() - 1)},
      {"count overruns", Patched(two, 2, 200)},
      {"type code only", {0x01, 0x05}},
      {"half a count", {0x01, 0x05, 0x00}},
      {"another type", {0x00, 0x05, 0x02, 0x00, 0, 0, 0, 0}},
      {"fewer names than recipients", TextListValue({"only-one"})},
  };
  for (const auto& c : bad) {
    ExpectOpen(d.With("WQSRecip0", c.value), ERR_WQS_CORRUPT, c.what);
  }
  ExpectOpen(d.Info(twoLists), ERR_ITEM_NOT_FOUND,
             "list 1 counted, not stored");
  Doc over2 = d.Info([](msg_info_t* i) {
                 i->wNumRecipLists = 2;
                 i->user.wNumRecip = 3;
               })
                  .With("WQSRecipData", StateArray(3, 3, 47, 50))
                  .With("WQSRecip1", TextListValue({"third"}));
  ExpectOpen(over2, NOERROR, "names over two lists");
  // A bad later list is caught too, after earlier copies were made.
  ExpectOpen(over2.With("WQSRecip1", {0x01, 0x05, 0x01}), ERR_WQS_CORRUPT,
             "bad list 1");

  ExpectOpen(Doc(x).Without("WQSNHE"), ERR_ITEM_NOT_FOUND, "no next-hop list");
  ExpectOpen(Doc(x).Without("WQSPO"), ERR_ITEM_NOT_FOUND, "no PO list");
  ExpectOpen(x.With("WQSNHE", TextListValue({"one"})), ERR_WQS_CORRUPT,
             "short next-hop list");
  ExpectOpen(x.With("WQSPO", Patched(TextListValue({"p1", "p2"}), 4, 0xFF)),
             ERR_WQS_CORRUPT, "PO length overruns");
  // Names for an extended message come from list 0 alone.
  ExpectOpen(x.Info(twoLists)
                 .With("WQSRecip0", TextListValue({"one"}))
                 .With("WQSRecip1", TextListValue({"two"})),
             ERR_WQS_CORRUPT, "extended names over two lists");
}

TEST_F(CorruptTest, AttachmentTable) {
  const Doc d = Sound(1).Info([](msg_info_t* i) { i->wNumAttachments = 1; });
  const Bytes good = AttachArray(84, 1, 1);
  ExpectOpen(d, ERR_ITEM_NOT_FOUND, "counted, no table");
  ExpectOpen(d.With("WQSAttachInfo", good), NOERROR, "sound");
  ExpectOpen(d.With("WQSAttachInfo", Resized(good, 57)), ERR_WQS_CORRUPT,
             "shorter than its headers");
  ExpectOpen(d.With("WQSAttachInfo", Resized(good, good.size() - 1)),
             ERR_WQS_CORRUPT, "one byte short");
  ExpectOpen(d.With("WQSAttachInfo", AttachArray(22, 1, 1)), ERR_WQS_CORRUPT,
             "entry size");
  ExpectOpen(d.With("WQSAttachInfo", AttachArray(84, 0, 1)), ERR_WQS_CORRUPT,
             "none used");
  ExpectOpen(d.Info([](msg_info_t* i) {
                i->wNumAttachments = 2;
              }).With("WQSAttachInfo", AttachArray(84, 1, 2)),
             ERR_WQS_CORRUPT, "more counted than used");
}

TEST_F(CorruptTest, RecipientReadsStayInRange) {
  // Three state entries but one name: reading recipient 1 must not walk
  // off the lists even though the state array has an entry for it.
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(
                &queue_,
                Store(Sound(3)
                          .Info([](msg_info_t* i) { i->user.wNumRecip = 1; })
                          .With("WQSRecip0", TextListValue({"only"}))),
                &h),
            NOERROR);
  recip_info_t ri{};
  ASSERT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(std::string(ri.pName, ri.wNameLen), "only");
  ri = recip_info_t{};
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSGetRecipient(&h, 3, &ri), ERR_WQS_RECIP_RANGE);
  recip_data_t* p = nullptr;
  WQSGetRecipientData(&h, 2, &p);
  EXPECT_NE(p, nullptr);  // the state entry itself exists
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
  // An extended message with a short next-hop list.
  ASSERT_EQ(WQSOpenMsgByMsgID(
                &queue_,
                Store(Sound(2, true)
                          .Info([](msg_info_t* i) { i->user.wNumRecip = 1; })
                          .With("WQSNHE", TextListValue({"h0"}))),
                &h),
            NOERROR);
  EXPECT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

}  // namespace
}  // namespace wqstest
