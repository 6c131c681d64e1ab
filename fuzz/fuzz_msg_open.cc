// Message open over untrusted stored values.  The input builds a message
// document (info block, recipient lists, state array, next-hop and post-
// office lists, attachment table with real objects, streams), each part
// sound, then bent where the input says: a count, length, array header
// field or value length moved or set to anything, an item left out,
// retyped or doubled.  An exhausted input chooses soundly, so a short seed
// is a valid message.  Saved through the store, it opens or gives a STATUS;
// what opens reads whole through every reader, copies or refuses to, and
// closes; WQHKVerifyMsg calls damaged what the open refuses; and every
// runtime memory block comes back.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"
#include "wqs/wqs.h"

namespace {

using Bytes = std::string;
using wqfuzz::Touch;

queue_handle_t g_queue{};
const char* const kStreams[] = {"Body", "Header"};

// The input as choices.
struct Decoder {
  FuzzedDataProvider& in;
  // A stated number: the truth, a step off it, a small number or anything.
  DWORD Tweak(DWORD truth) {
    BYTE how = in.ConsumeIntegral<BYTE>();
    if (how < 0xA0) return truth;
    if (how < 0xE0) return truth + (DWORD)((int)how - 0xC0);  // -32 .. +31
    if (how < 0xFF) return (DWORD)(how - 0xE0);               // 0 .. 30
    return in.ConsumeIntegral<DWORD>();
  }
  bool Chance(BYTE from) { return in.ConsumeIntegral<BYTE>() >= from; }
  DWORD Small(DWORD max) { return in.ConsumeIntegralInRange<DWORD>(0, max); }
  Bytes Text(size_t maxLen) { return in.ConsumeBytesAsString(Small(maxLen)); }
  Bytes Fill(size_t n) {  // zero-filled once the input runs out
    Bytes b = in.ConsumeBytesAsString(n);
    b.resize(n, '\0');
    return b;
  }
  WORD Word() { return in.ConsumeIntegral<WORD>(); }
  DWORD Dword() { return in.ConsumeIntegral<DWORD>(); }
  WORD MaybeType(WORD type) { return Chance(0xF8) ? Word() : type; }
  // The value's stored length: cut short, or run on with input bytes.
  void Reshape(Bytes* v) {
    DWORD len = std::min<DWORD>(Tweak((DWORD)v->size()), v->size() + 256);
    if (len <= v->size()) v->resize(len);
    else *v += Fill(len - v->size());
  }
};

template <typename T>
Bytes Raw(T v) { return Bytes(reinterpret_cast<const char*>(&v), sizeof v); }

struct Item {
  std::string name;
  WORD type, flags;
  Bytes value;  // after the type code
};
struct Message {
  std::vector<Item> items;
  std::vector<DWORD> objects;  // freed after the run
  WORD type = WQS_MSG_SIMPLE;
};

// A text-list value of `texts`: its count and one length may be bent.
Bytes ListValue(Decoder& d, const std::vector<Bytes>& texts) {
  Bytes v = Raw((WORD)d.Tweak((DWORD)texts.size()));
  const DWORD bent = texts.empty() ? 0 : d.Small((DWORD)texts.size() - 1);
  for (DWORD i = 0; i < texts.size(); ++i) {
    const DWORD len = (DWORD)texts[i].size();
    v += Raw((WORD)(i == bent ? d.Tweak(len) : len));
  }
  for (const Bytes& t : texts) v += t;
  d.Reshape(&v);
  return v;
}

// A dynamic-array item value: the user-data header and the array image with
// room for `capacity` entries of `entrySize`, every header field bendable.
Bytes ArrayValue(Decoder& d, const std::string& header, DWORD entrySize,
                 DWORD granularity, const std::vector<Bytes>& entries,
                 DWORD capacity) {
  const DWORD used = (DWORD)entries.size();
  Bytes v = (char)32 + header;
  v.resize(32, '\0');
  const DWORD fields[] = {d.Dword() & 0xFFFF,  // hArray: meaningless stored
                          d.Tweak(24 + capacity * entrySize),
                          d.Tweak(entrySize), d.Tweak(granularity),
                          d.Tweak(used), d.Tweak(capacity - used)};
  for (DWORD f : fields) v += Raw(f);
  for (const Bytes& e : entries) v += e;
  v.resize(32 + 24 + capacity * entrySize, '\0');
  d.Reshape(&v);
  return v;
}

void BuildRecipients(Decoder& d, Message* m, WORD nRecip, msg_info_t* info) {
  std::vector<Bytes> names, hops, pos, states;
  for (WORD i = 0; i < nRecip; ++i) names.push_back(d.Text(24));
  const bool extended = m->type != WQS_MSG_SIMPLE;
  DWORD nLists = extended ? 1 : 1 + d.Small(2);
  if (nLists > nRecip && nRecip > 0) nLists = nRecip;
  info->wNumRecipLists = (WORD)d.Tweak(nLists);
  for (DWORD k = 0; k < nLists; ++k) {
    std::vector<Bytes> part;
    for (WORD i = 0; i < nRecip; ++i) {
      if (i * nLists / nRecip == k) part.push_back(names[i]);
    }
    m->items.push_back({"WQSRecip" + std::to_string(k),
                        d.MaybeType(TYPE_TEXT_LIST), 0, ListValue(d, part)});
  }
  if (extended || d.Chance(0xF0)) {
    for (WORD i = 0; i < nRecip; ++i) hops.push_back(d.Text(16));
    for (WORD i = 0; i < nRecip; ++i) pos.push_back(d.Text(16));
    for (auto [name, texts] :
         {std::pair{WQS_ITEM_NHE, &hops}, std::pair{WQS_ITEM_PO, &pos}}) {
      if (d.Chance(0xF8)) continue;  // left out
      m->items.push_back(
          {name, d.MaybeType(TYPE_TEXT_LIST), 0, ListValue(d, *texts)});
    }
  }
  for (WORD i = 0; i < nRecip; ++i) {
    states.push_back(d.Fill(sizeof(recip_data_t)));
  }
  const DWORD capacity = nRecip ? (nRecip + 49) / 50 * 50 : 50;
  if (!d.Chance(0xF8)) {
    m->items.push_back({WQS_ITEM_RECIPDATA, d.MaybeType(TYPE_USERDATA), 0,
                        ArrayValue(d, WQS_ITEM_RECIPDATA, sizeof(recip_data_t),
                                   50, states, capacity)});
  }
}

void BuildAttachments(Decoder& d, Message* m, WORD nAttach) {
  std::vector<Bytes> blocks;
  for (WORD i = 0; i < nAttach; ++i) {
    const DWORD size = d.Small(300);
    const Bytes data = d.Fill(size);
    DWORD rrv = 0;
    WQ_FUZZ_CHECK(QDSDbAllocObject(g_queue.dbhandle, size, 1, 0, &rrv) ==
                          NOERROR &&
                      (size == 0 || QDSDbWriteObjectBytes(g_queue.dbhandle, rrv,
                                                          data.data(), 0,
                                                          size) == NOERROR),
                  "cannot store an object of %lu bytes", (unsigned long)size);
    m->objects.push_back(rrv);
    file_block_t fb{};
    fb.RRV = d.Tweak(rrv);
    fb.dwNextWrite = d.Tweak(size);
    fb.dwLength = d.Tweak(size);
    fb.fd.fileType = d.Chance(0xC0) ? WQS_FILETYPE_MACEXT : 1;
    Bytes name = d.Text(32);
    memcpy(fb.fd.fileName, name.data(), name.size());
    fb.fd.wNameLen = (WORD)d.Tweak((DWORD)name.size());
    fb.fd.size = size;
    blocks.push_back(Raw(fb));
  }
  if ((nAttach > 0 || d.Chance(0xF0)) && !d.Chance(0xF8)) {
    m->items.push_back({WQS_ITEM_ATTACHINFO, d.MaybeType(TYPE_USERDATA), 0,
                        ArrayValue(d, WQS_HEADER_ATTACH, sizeof(file_block_t),
                                   1, blocks, (DWORD)blocks.size())});
  }
}

void BuildStream(Decoder& d, Message* m, const std::string& name) {
  const DWORD pieces = d.Small(4);
  std::vector<Bytes> data, entries;
  DWORD total = 0;
  for (DWORD k = 0; k < pieces; ++k) {
    // Now and then a full piece, to cross into the store's big values.
    data.push_back(
        d.Fill(d.Chance(0xF8) ? WQS_DSB_MAX_CHUNK : 1 + d.Small(199)));
    total += (DWORD)data.back().size();
  }
  for (DWORD k = 0; k < pieces; ++k) {
    if (d.Chance(0xF8)) continue;  // a piece lost
    Bytes v = data[k];
    d.Reshape(&v);
    m->items.push_back(
        {name + std::to_string(k), d.MaybeType(TYPE_TEXT), 0, v});
  }
  entries.push_back(Raw(d.Tweak(total)));
  const DWORD bent = pieces ? d.Small(pieces - 1) : 0;
  for (DWORD k = 0; k < pieces; ++k) {
    const DWORD len = (DWORD)data[k].size();
    entries.push_back(Raw(k == bent ? d.Tweak(len) : len));
  }
  const std::string table = WQS_ITEM_DSBARRAY + name;
  m->items.push_back({table, d.MaybeType(TYPE_USERDATA), 0,
                      ArrayValue(d, table, 4, 1, entries,
                                 (DWORD)entries.size())});
  m->items.push_back({WQS_ITEM_DSBSIZE + name, TYPE_NUMBER, 0,
                      Raw((double)total)});
}

Message Build(Decoder& d) {
  Message m;
  const DWORD kind = d.Small(3);
  m.type = kind == 0 ? WQS_MSG_SIMPLE : kind == 1 ? WQS_MSG_EXTENDED
                                      : kind == 2 ? 0 : d.Word();
  const WORD nRecip = (WORD)(d.Chance(0xF8) ? d.Small(3000) : d.Small(8));
  const WORD nAttach = (WORD)d.Small(3);
  msg_info_t info{};
  info.udh.itemNameLength = 32;
  memcpy(info.udh.userItemName, WQS_HEADER_MSGINFO, sizeof WQS_HEADER_MSGINFO);
  info.wMsgType = m.type;
  BuildRecipients(d, &m, nRecip, &info);
  BuildAttachments(d, &m, nAttach);
  info.wNumAttachments = (WORD)d.Tweak(nAttach);
  info.user.dwSize = sizeof(user_msg_info_t);
  info.user.dwQueueMsgID = d.Dword();
  info.user.wNumRecip = (WORD)d.Tweak(nRecip);
  Bytes tail = d.Fill(sizeof info.user - 10);
  memcpy(reinterpret_cast<char*>(&info.user) + 10, tail.data(), tail.size());
  if (!d.Chance(0xF8)) {
    Bytes v = Raw(info);
    d.Reshape(&v);
    m.items.insert(m.items.begin(),
                   {WQS_ITEM_MSGINFO, d.MaybeType(TYPE_USERDATA), 0, v});
  }
  for (const char* s : kStreams) {
    if (d.Chance(0x80)) BuildStream(d, &m, s);
  }
  const double status = d.Small(12);
  m.items.push_back({"WQMsgStatus", d.MaybeType(TYPE_NUMBER), ITEM_SUMMARY,
                     Raw(status)});
  if (d.Chance(0x80))
    m.items.push_back({"WQErrStr", d.MaybeType(TYPE_TEXT), 0, d.Text(600)});
  if (d.Chance(0x80))
    m.items.push_back({"WQIBNHE", d.MaybeType(TYPE_TEXT), 0, d.Text(300)});
  // A second item of a name already there: readers take the first.
  if (!m.items.empty() && d.Chance(0xF0)) {
    Item dup = m.items[d.Small((DWORD)m.items.size() - 1)];
    d.Reshape(&dup.value);
    m.items.push_back(dup);
  }
  return m;
}

void ReadRecipients(Decoder& d, wq_msg_handle_t* wh) {
  msg_handle_t* h = &wh->msg;
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(h, &info);
  const WORD n = info->wNumRecip;
  const bool typed = h->info.wMsgType == WQS_MSG_SIMPLE ||
                     h->info.wMsgType == WQS_MSG_EXTENDED;
  const DWORD last = n < 40 ? n + 2 : 40;
  for (DWORD r = 0; r <= last; ++r) {
    const WORD w = r == last ? (WORD)0xFFFF : (WORD)r;
    recip_info_t ri{};
    STATUS st = WQSGetRecipient(h, w, &ri);
    if (st == NOERROR) {
      Touch(ri.pName, ri.wNameLen);
      if (h->info.wMsgType != WQS_MSG_SIMPLE) {
        Touch(ri.pNextHop, ri.wNextHopLen);
        Touch(ri.pPOName, ri.wPONameLen);
      }
    } else {
      // The open vouched for wNumRecip names, states, hops and post offices.
      WQ_FUZZ_CHECK(st == ERR_WQS_RECIP_RANGE && (!typed || w >= n),
                    "recipient %u of %u of an open message gave %u", w, n, st);
    }
    recip_state_block_t rs;
    if (WInbHKGetRecipientInfo(wh, w, &rs) == NOERROR) Touch(rs.pName, rs.wNameLen);
    if (WOutbHKGetRecipientInfo(wh, w, &rs) == NOERROR) Touch(rs.pName, rs.wNameLen);
    recip_data_t* data = nullptr;
    WQSGetRecipientData(h, w, &data);
    if (data != nullptr) Touch(data, sizeof *data);
    if (d.Chance(0xC0)) WInbHKSetRecipientState(wh, w, 6);
  }
  msg_state_block_t ms;
  WQ_FUZZ_CHECK(WQInbHKGetMessageState(wh, &ms) == NOERROR &&
                    strnlen(ms.szError, sizeof ms.szError) < sizeof ms.szError &&
                    WQOutbHKGetMessageState(wh, &ms) == NOERROR,
                "message state unreadable or its error text unterminated");
  char nhe[256];
  WORD nheLen = 0;
  WQ_FUZZ_CHECK(WQInbHKGetNHE(wh, nhe, &nheLen) == NOERROR &&
                    nheLen <= sizeof nhe, "next hop of %u bytes", nheLen);
}

void ReadStream(Decoder& d, msg_handle_t* h, const char* name) {
  data_stream_block_t s;
  STATUS st = WQSOpenDataStreamBlock(h, name, &s);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK(st == ERR_WQS_GENERAL || st == ERR_WQS_CORRUPT ||
                      st == ERR_WQS_NAME_TOO_LONG, "stream open gave %u", st);
    return;
  }
  const DWORD size = WQSGetSizeOfDataStreamBlock(&s);
  for (int i = 0; i < 64; ++i) {
    if (d.Chance(0xE0)) {
      WQSDSBSeek(&s, d.Tweak(WQSGetDSBReadPos(&s)),
                 d.Chance(0x80) ? WQS_SEEK_SET : 0);
    }
    // Mostly small reads; now and then one longer than any piece, or none.
    const DWORD want = d.Chance(0xF0)   ? 0
                       : d.Chance(0xF0) ? 1 + d.Small(70000)
                                        : 1 + d.Small(300);
    std::unique_ptr<char[]> buf(new char[want ? want : 1]);
    WORD flag = 0;
    DWORD got = 0xFFFFFFFF;
    const DWORD before = WQSGetDSBReadPos(&s);
    st = WQSGetDataStreamBlock(h, &s, &flag, buf.get(), want, &got);
    if (st != NOERROR) {
      WQ_FUZZ_CHECK(st == ERR_WQS_CORRUPT || st == ERR_ITEM_NOT_FOUND,
                    "stream read gave %u", st);
      break;
    }
    WQ_FUZZ_CHECK(got <= want && WQSGetDSBReadPos(&s) == before + got,
                  "read %lu bytes into %lu, read pointer moved by %lu",
                  (unsigned long)got, (unsigned long)want,
                  (unsigned long)(WQSGetDSBReadPos(&s) - before));
    if (flag == WQS_DSB_END && got == 0 && before >= size) break;
  }
  WQ_FUZZ_CHECK(WQSCloseDataStreamBlock(&s) == NOERROR, "stream close");
}

void ReadFiles(Decoder& d, msg_handle_t* h) {
  const WORD n = WQSGetNumFileBlocks(h);
  const DWORD last = n < 6 ? n + 1 : 6;
  for (DWORD i = 0; i <= last; ++i) {
    const WORD w = i == last ? (WORD)0xFFFF : (WORD)i;
    file_descriptor_t* fd = nullptr;
    file_block_t* fb = nullptr;
    WQSGetFileBlockInfo(h, w, &fd, &fb);
    if (fb == nullptr) {
      WQ_FUZZ_CHECK(fd == nullptr && w >= n, "file block %u of %u missing", w, n);
      continue;
    }
    Touch(fb, sizeof *fb);
    DHANDLE buf = NULLHANDLE;
    STATUS st = WQSGetFileBlockData(h, fb, d.Tweak(0), &buf);
    if (st != NOERROR) {
      WQ_FUZZ_CHECK(!buf && (st == ERR_OBJECT_NOT_FOUND || st == ERR_OBJECT_RANGE),
                    "object read gave %u", st);
      continue;
    }
    DWORD size = 0;
    OSMemGetSize(buf, &size);
    const void* p = OSLockObject(buf);
    WQ_FUZZ_CHECK(p != nullptr, "object read gave no block");
    Touch(p, size);
    OSUnlockObject(buf);
    OSMemFree(buf);
  }
}

// A copy takes the stored lists and state array over and grows them, the
// one reader that writes into what it loaded: copy, add recipients, then
// save (and delete) or discard.
void CopyMessage(Decoder& d, msg_handle_t* h) {
  const WORD swapped = h->info.wMsgType == WQS_MSG_SIMPLE ? WQS_MSG_EXTENDED
                                                          : WQS_MSG_SIMPLE;
  const WORD type = d.Chance(0xC0) ? swapped : h->info.wMsgType;
  msg_handle_t copy{};
  STATUS st = WQSCopyMsg(&g_queue, &g_queue, h, d.Chance(0x40) ? FALSE : TRUE,
                         type, &copy);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK(st == ERR_WQS_CORRUPT || st == ERR_WQS_GENERAL ||
                      st == ERR_ITEM_NOT_FOUND, "copy gave %u", st);
    return;
  }
  for (DWORD i = 0, n = d.Small(3); i < n; ++i) {
    Bytes name = d.Text(300), hop = d.Text(16), po = d.Text(16);
    recip_info_t ri{};
    ri.pName = name.data(), ri.wNameLen = (WORD)name.size();
    ri.pNextHop = hop.data(), ri.wNextHopLen = (WORD)hop.size();
    ri.pPOName = po.data(), ri.wPONameLen = (WORD)po.size();
    st = WQSAppendRecipient(&copy, &ri);
    WQ_FUZZ_CHECK(st == NOERROR || st == ERR_WQS_GENERAL ||
                      st == ERR_LIST_FULL || st == ERR_LIST_CORRUPT,
                  "append to a copy gave %u", st);
  }
  if (d.Chance(0x80) && WQSCloseAndSaveMsg(&copy) == NOERROR) {
    WQ_FUZZ_CHECK(QDSNoteDelete(g_queue.dbhandle, copy.info.user.dwQueueMsgID,
                                0) == NOERROR, "delete the saved copy");
    return;
  }
  st = WQSCloseAndDiscardMsg(&copy);
  WQ_FUZZ_CHECK(st == NOERROR, "discarding a copy gave %u", st);
}

void Run(Decoder& d) {
  Message m = Build(d);
  NOTEHANDLE note = 0;
  WQ_FUZZ_CHECK(QDSNoteCreate(g_queue.dbhandle, &note) == NOERROR, "create");
  for (const Item& it : m.items) {
    WQ_FUZZ_CHECK(QDSItemAppend(note, it.flags, it.name.data(),
                                (WORD)it.name.size(), it.type, it.value.data(),
                                (DWORD)it.value.size()) == NOERROR,
                  "append %s (%zu bytes)", it.name.c_str(), it.value.size());
  }
  NOTEID id = 0;
  WQ_FUZZ_CHECK(QDSNoteUpdate(note, 0) == NOERROR, "save");
  QDSNoteGetInfo(note, _NOTE_ID, &id);
  WQ_FUZZ_CHECK(QDSNoteClose(note) == NOERROR, "close");

  wq_msg_handle_t wh;
  memset(&wh, 0xA5, sizeof wh);  // the open must not rely on a zeroed handle
  wh.pdaRecipIndex = nullptr;
  wh.wFailedRecipients = 0;
  const STATUS opened = WQSOpenMsgByMsgID(&g_queue, id, &wh.msg);
  if (opened == NOERROR) {
    WQ_FUZZ_CHECK(wh.msg.info.user.dwQueueMsgID == id, "open kept a stale id");
    ReadRecipients(d, &wh);
    for (const char* s : kStreams) ReadStream(d, &wh.msg, s);
    ReadStream(d, &wh.msg, d.Text(24).c_str());
    ReadFiles(d, &wh.msg);
    if (d.Chance(0x80)) CopyMessage(d, &wh.msg);
    const bool update = d.Chance(0xC0);
    STATUS st = update ? WQSCloseMsgAndUpdate(&wh.msg) : WQSCloseMsg(&wh.msg);
    WQ_FUZZ_CHECK(st == NOERROR, "close (update %d) gave %u", update, st);
  } else {
    WQ_FUZZ_CHECK(opened == ERR_WQS_CORRUPT || opened == ERR_WQS_GENERAL ||
                      opened == ERR_ITEM_NOT_FOUND,
                  "open gave unexpected status %u", opened);
  }
  wq_verify_result_t vr;
  STATUS st = WQHKVerifyMsg(&g_queue, id, &vr);
  WQ_FUZZ_CHECK(strnlen(vr.szReason, sizeof vr.szReason) < sizeof vr.szReason,
                "verify reason not terminated");
  WQ_FUZZ_CHECK(st != NOERROR || opened != ERR_WQS_CORRUPT || vr.bDamaged,
                "verify passes a message the open refuses");
  WQ_FUZZ_CHECK(QDSNoteDelete(g_queue.dbhandle, id, 0) == NOERROR, "delete");
  for (DWORD rrv : m.objects) QDSDbFreeObject(g_queue.dbhandle, rrv);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_queue.dbhandle = wqfuzz::OpenSharedDb("queue.qds", WQS_QUEUE_DB_CLASS);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DWORD baseline = OSMemTestTotalBlocks();
  FuzzedDataProvider in(data, size);
  Decoder d{in};
  Run(d);
  wqfuzz::CheckBlocks(baseline, "message open");
  return 0;
}
