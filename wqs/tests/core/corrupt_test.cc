// Message open on damaged or hand-made documents: every value is checked
// against its own sizes before use, a bad one is refused with
// ERR_WQS_CORRUPT, missing items with the store's status, and a refused
// open leaves no memory block and no open document behind.
#include "core_util.h"

namespace wqstest {
namespace {

// A message document described item by item, so each case can break one.
struct Doc {
  msg_info_t info;
  bool withInfo = true;
  Bytes infoValue;  // empty: built from `info`
  std::vector<std::pair<std::string, Bytes>> items;

  void Set(const std::string& name, const Bytes& v) {
    for (auto& it : items) {
      if (it.first == name) {
        it.second = v;
        return;
      }
    }
    items.push_back({name, v});
  }
  void Remove(const std::string& name) {
    for (size_t i = 0; i < items.size(); i++) {
      if (items[i].first == name) items.erase(items.begin() + i);
    }
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

Bytes AttachArray(DWORD entrySize, DWORD used, DWORD capacity) {
  return ArrayItemValue("WQS_MSG_ATTACH_BLOCK", entrySize, 1, used,
                        capacity - used, capacity, Bytes());
}

// A sound message with `n` recipients in one list.
Doc Sound(int n, bool extended = false) {
  Doc d;
  memset(&d.info, 0, sizeof(d.info));
  d.info.udh.itemNameLength = 32;
  d.info.wMsgType = extended ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
  d.info.wNumRecipLists = 1;
  d.info.user.wNumRecip = (WORD)n;
  std::vector<std::string> names, hops, pos;
  for (int i = 0; i < n; i++) {
    names.push_back(MakeRecip(i).name);
    hops.push_back(MakeRecip(i).nextHop);
    pos.push_back(MakeRecip(i).po);
  }
  d.Set("WQSRecip0", TextListValue(names));
  d.Set("WQSRecipData", StateArray(n, n, 50 - n, 50));
  if (extended) {
    d.Set("WQSNHE", TextListValue(hops));
    d.Set("WQSPO", TextListValue(pos));
  }
  return d;
}

// A state array of one entry with a header DWORD replaced.
Bytes StatePatched(size_t at, DWORD value) {
  Bytes v = StateArray(1, 1, 49, 50);
  for (int i = 0; i < 4; i++) v[at + i] = (BYTE)(value >> (8 * i));
  return v;
}

Bytes Resized(Bytes v, size_t n) {
  v.resize(n, 0xEE);
  return v;
}

class CorruptTest : public QueueTest {
 protected:
  NOTEID Store(const Doc& d) {
    return RawDocument(db(), [&](NOTEHANDLE note) {
      if (d.withInfo) {
        AppendRawValue(note, "WQSMsgInfo",
                       d.infoValue.empty() ? MsgInfoValue(d.info) : d.infoValue);
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

TEST_F(CorruptTest, EveryDamageIsRefused) {
  const Bytes two = TextListValue({"alpha", "beta"});
  struct Case {
    const char* what;
    int recips;
    bool extended;
    std::function<void(Doc*)> damage;
    STATUS want;
  } cases[] = {
      // Sound variants.
      {"sound, none", 0, false, [](Doc*) {}, NOERROR},
      {"sound, three", 3, false, [](Doc*) {}, NOERROR},
      {"sound extended", 3, true, [](Doc*) {}, NOERROR},
      {"bytes after the array", 2, false,
       [](Doc* d) { d->Set("WQSRecipData", Resized(StateArray(2, 2, 48, 50),
                                                    34 + 24 + 50 * 22 + 10)); },
       NOERROR},
      {"fewer counted than stored", 3, false,
       [](Doc* d) { d->info.user.wNumRecip = 1; }, NOERROR},
      {"smaller dwSize of whole entries", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StateArray(1, 1, 0, 1)); }, NOERROR},
      {"longer message info", 1, false,
       [](Doc* d) { d->infoValue = Resized(MsgInfoValue(d->info), 89); },
       NOERROR},
      // Message info.
      {"no message info", 1, false, [](Doc* d) { d->withInfo = false; },
       ERR_ITEM_NOT_FOUND},
      {"message info 87 bytes", 1, false,
       [](Doc* d) { d->infoValue = Resized(MsgInfoValue(d->info), 87); },
       ERR_WQS_CORRUPT},
      {"message info 2 bytes", 1, false,
       [](Doc* d) { d->infoValue = Resized(MsgInfoValue(d->info), 2); },
       ERR_WQS_CORRUPT},
      // Recipient states.
      {"no state array", 1, false, [](Doc* d) { d->Remove("WQSRecipData"); },
       ERR_WQS_GENERAL},
      {"state array shorter than its headers", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", Resized(StateArray(1, 1, 49, 50), 57)); },
       ERR_WQS_CORRUPT},
      {"state array shorter than 34 + dwSize", 1, false,
       [](Doc* d) {
         d->Set("WQSRecipData", Resized(StateArray(1, 1, 49, 50), 34 + 24 + 1099));
       },
       ERR_WQS_CORRUPT},
      {"dwSize below the header", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(38, 23)); }, ERR_WQS_CORRUPT},
      {"dwSize not whole entries", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(38, 24 + 22 * 49 + 1)); },
       ERR_WQS_CORRUPT},
      {"entry size of another table", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(42, 84)); }, ERR_WQS_CORRUPT},
      {"entry size 0", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(42, 0)); }, ERR_WQS_CORRUPT},
      {"granularity 0", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(46, 0)); }, ERR_WQS_CORRUPT},
      {"used past capacity", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(50, 51)); }, ERR_WQS_CORRUPT},
      {"used + free past capacity", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(54, 50)); }, ERR_WQS_CORRUPT},
      {"fewer used than recipients", 1, false,
       [](Doc* d) { d->Set("WQSRecipData", StatePatched(50, 0)); }, ERR_WQS_CORRUPT},
      // Name lists.
      {"no list 0", 2, false, [](Doc* d) { d->Remove("WQSRecip0"); },
       ERR_ITEM_NOT_FOUND},
      {"list one byte short", 2, false,
       [&](Doc* d) { d->Set("WQSRecip0", Resized(two, two.size() - 1)); },
       ERR_WQS_CORRUPT},
      {"list count overruns", 2, false,
       [&](Doc* d) {
         Bytes v = two;
         v[2] = 200;
         d->Set("WQSRecip0", v);
       },
       ERR_WQS_CORRUPT},
      {"list of the type code only", 2, false,
       [](Doc* d) { d->Set("WQSRecip0", Bytes{0x01, 0x05}); }, ERR_WQS_CORRUPT},
      {"list with half a count", 2, false,
       [](Doc* d) { d->Set("WQSRecip0", Bytes{0x01, 0x05, 0x00}); }, ERR_WQS_CORRUPT},
      {"list of another type", 2, false,
       [](Doc* d) { d->Set("WQSRecip0", Bytes{0x00, 0x05, 0x02, 0x00, 0, 0, 0, 0}); },
       ERR_WQS_CORRUPT},
      {"fewer names than recipients", 2, false,
       [](Doc* d) { d->Set("WQSRecip0", TextListValue({"only-one"})); },
       ERR_WQS_CORRUPT},
      {"second list counted, not stored", 2, false,
       [](Doc* d) { d->info.wNumRecipLists = 2; }, ERR_ITEM_NOT_FOUND},
      {"names over two lists", 2, false,
       [](Doc* d) {
         d->info.wNumRecipLists = 2;
         d->info.user.wNumRecip = 3;
         d->Set("WQSRecipData", StateArray(3, 3, 47, 50));
         d->Set("WQSRecip1", TextListValue({"third"}));
       },
       NOERROR},
      {"bad later list", 2, false,
       [](Doc* d) {
         d->info.wNumRecipLists = 2;
         d->Set("WQSRecip1", Bytes{0x01, 0x05, 0x01});
       },
       ERR_WQS_CORRUPT},
      // Extended lists.
      {"no next-hop list", 2, true, [](Doc* d) { d->Remove("WQSNHE"); },
       ERR_ITEM_NOT_FOUND},
      {"no PO list", 2, true, [](Doc* d) { d->Remove("WQSPO"); },
       ERR_ITEM_NOT_FOUND},
      {"short next-hop list", 2, true,
       [](Doc* d) { d->Set("WQSNHE", TextListValue({"one"})); }, ERR_WQS_CORRUPT},
      {"PO length overruns", 2, true,
       [](Doc* d) {
         Bytes v = TextListValue({"p1", "p2"});
         v[4] = 0xFF;
         d->Set("WQSPO", v);
       },
       ERR_WQS_CORRUPT},
      {"extended names come from list 0 alone", 2, true,
       [](Doc* d) {
         d->info.wNumRecipLists = 2;
         d->Set("WQSRecip0", TextListValue({"one"}));
         d->Set("WQSRecip1", TextListValue({"two"}));
       },
       ERR_WQS_CORRUPT},
      // Attachment table.
      {"attachment counted, no table", 1, false,
       [](Doc* d) { d->info.wNumAttachments = 1; }, ERR_ITEM_NOT_FOUND},
      {"sound attachment table", 1, false,
       [](Doc* d) {
         d->info.wNumAttachments = 1;
         d->Set("WQSAttachInfo", AttachArray(84, 1, 1));
       },
       NOERROR},
      {"attachment table shorter than its headers", 1, false,
       [](Doc* d) {
         d->info.wNumAttachments = 1;
         d->Set("WQSAttachInfo", Resized(AttachArray(84, 1, 1), 57));
       },
       ERR_WQS_CORRUPT},
      {"attachment table one byte short", 1, false,
       [](Doc* d) {
         d->info.wNumAttachments = 1;
         d->Set("WQSAttachInfo", Resized(AttachArray(84, 1, 1), 34 + 24 + 83));
       },
       ERR_WQS_CORRUPT},
      {"attachment entry size", 1, false,
       [](Doc* d) {
         d->info.wNumAttachments = 1;
         d->Set("WQSAttachInfo", AttachArray(22, 1, 1));
       },
       ERR_WQS_CORRUPT},
      {"attachment none used", 1, false,
       [](Doc* d) {
         d->info.wNumAttachments = 1;
         d->Set("WQSAttachInfo", AttachArray(84, 0, 1));
       },
       ERR_WQS_CORRUPT},
      {"more attachments counted than used", 1, false,
       [](Doc* d) {
         d->info.wNumAttachments = 2;
         d->Set("WQSAttachInfo", AttachArray(84, 1, 2));
       },
       ERR_WQS_CORRUPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Doc d = Sound(c.recips, c.extended);
    c.damage(&d);
    ExpectOpen(d, c.want);
  }
}

TEST_F(CorruptTest, RecipientReadsStayInRange) {
  // Three state entries but one name: reading recipient 1 must not walk
  // off the lists even though the state array has an entry for it.
  Doc d = Sound(3);
  d.info.user.wNumRecip = 1;
  d.Set("WQSRecip0", TextListValue({"only"}));
  msg_handle_t h;
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, Store(d), &h), NOERROR);
  recip_info_t ri;
  memset(&ri, 0, sizeof(ri));
  ASSERT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(std::string(ri.pName, ri.wNameLen), "only");
  memset(&ri, 0, sizeof(ri));
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(ri.pName, nullptr);
  EXPECT_EQ(WQSGetRecipient(&h, 3, &ri), ERR_WQS_RECIP_RANGE);
  recip_data_t* p = nullptr;
  WQSGetRecipientData(&h, 2, &p);
  EXPECT_NE(p, nullptr);  // the state entry itself exists
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);

  // An extended message with a short next-hop list.
  d = Sound(2, true);
  d.info.user.wNumRecip = 1;
  d.Set("WQSNHE", TextListValue({"h0"}));
  ASSERT_EQ(WQSOpenMsgByMsgID(&queue_, Store(d), &h), NOERROR);
  EXPECT_EQ(WQSGetRecipient(&h, 0, &ri), NOERROR);
  EXPECT_EQ(WQSGetRecipient(&h, 1, &ri), ERR_WQS_RECIP_RANGE);
  EXPECT_EQ(WQSCloseMsg(&h), NOERROR);
}

}  // namespace
}  // namespace wqstest
