// Message open over a stored message built from the input, each part sound
// unless the input bends it (a count, length or array header field moved, an
// item left out, retyped or doubled; an exhausted input chooses soundly).  It
// opens or gives a STATUS; what opens reads whole through every reader, copies
// or refuses to, and closes; WQHKVerifyMsg calls damaged what the open refuses.
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

bool In(STATUS st, std::initializer_list<STATUS> allowed) {
  return std::find(allowed.begin(), allowed.end(), st) != allowed.end();
}
template <typename T>
Bytes Raw(T v) { return Bytes(reinterpret_cast<const char*>(&v), sizeof v); }

struct Decoder {
  FuzzedDataProvider& in;
  // A stated number: the truth, -32..+31 off it, 0..30 or anything.
  DWORD Tweak(DWORD truth) {
    BYTE how = in.ConsumeIntegral<BYTE>();
    if (how < 0xA0) return truth;
    if (how < 0xE0) return truth + (DWORD)((int)how - 0xC0);
    return how < 0xFF ? (DWORD)(how - 0xE0) : in.ConsumeIntegral<DWORD>();
  }
  bool Chance(BYTE from) { return in.ConsumeIntegral<BYTE>() >= from; }
  DWORD Small(DWORD max) { return in.ConsumeIntegralInRange<DWORD>(0, max); }
  Bytes Text(size_t maxLen) { return in.ConsumeBytesAsString(Small(maxLen)); }
  Bytes Fill(size_t n) { Bytes b = in.ConsumeBytesAsString(n); b.resize(n, '\0'); return b; }
  WORD MaybeType(WORD type) { return Chance(0xF8) ? in.ConsumeIntegral<WORD>() : type; }
  void Reshape(Bytes* v) {  // the stored length: cut short or run on
    DWORD len = std::min<DWORD>(Tweak((DWORD)v->size()), v->size() + 256);
    *v = len <= v->size() ? v->substr(0, len) : *v + Fill(len - v->size());
  }
};

struct Item { std::string name; WORD type, flags; Bytes value; };
struct Message { std::vector<Item> items; std::vector<DWORD> objects; };

// A text list: its count and one length may be bent.
Bytes ListValue(Decoder& d, const std::vector<Bytes>& texts) {
  Bytes v = Raw((WORD)d.Tweak((DWORD)texts.size()));
  const DWORD bent = texts.empty() ? 0 : d.Small((DWORD)texts.size() - 1);
  for (DWORD i = 0; i < texts.size(); ++i)
    v += Raw((WORD)(i == bent ? d.Tweak(texts[i].size()) : texts[i].size()));
  for (const Bytes& t : texts) v += t;
  d.Reshape(&v);
  return v;
}

// A dynamic array: user-data header, then the array image with room for
// `capacity` entries, every header field bendable (hArray is meaningless).
Bytes ArrayValue(Decoder& d, const std::string& header, DWORD entrySize, DWORD granularity,
                 const std::vector<Bytes>& entries, DWORD capacity) {
  const DWORD used = (DWORD)entries.size();
  Bytes v = (char)32 + header;
  v.resize(32, '\0');
  const DWORD fields[] = {d.in.ConsumeIntegral<DWORD>() & 0xFFFF,
                          d.Tweak(24 + capacity * entrySize), d.Tweak(entrySize),
                          d.Tweak(granularity), d.Tweak(used), d.Tweak(capacity - used)};
  for (DWORD f : fields) v += Raw(f);
  for (const Bytes& e : entries) v += e;
  v.resize(32 + 24 + capacity * entrySize, '\0');
  d.Reshape(&v);
  return v;
}

void BuildRecipients(Decoder& d, Message* m, WORD nRecip, msg_info_t* info) {
  std::vector<Bytes> names, hops, pos, states;
  for (WORD i = 0; i < nRecip; ++i) names.push_back(d.Text(24));
  const bool extended = info->wMsgType != WQS_MSG_SIMPLE;
  DWORD nLists = extended ? 1 : 1 + d.Small(2);
  if (nLists > nRecip && nRecip > 0) nLists = nRecip;
  info->wNumRecipLists = (WORD)d.Tweak(nLists);
  for (DWORD k = 0; k < nLists; ++k) {
    std::vector<Bytes> part;
    for (WORD i = 0; i < nRecip; ++i)
      if (i * nLists / nRecip == k) part.push_back(names[i]);
    m->items.push_back({"WQSRecip" + std::to_string(k), d.MaybeType(TYPE_TEXT_LIST), 0,
                        ListValue(d, part)});
  }
  if (extended || d.Chance(0xF0)) {
    for (WORD i = 0; i < nRecip; ++i) hops.push_back(d.Text(16));
    for (WORD i = 0; i < nRecip; ++i) pos.push_back(d.Text(16));
    for (auto [name, texts] : {std::pair{WQS_ITEM_NHE, &hops}, std::pair{WQS_ITEM_PO, &pos}})
      if (!d.Chance(0xF8))  // else left out
        m->items.push_back({name, d.MaybeType(TYPE_TEXT_LIST), 0, ListValue(d, *texts)});
  }
  for (WORD i = 0; i < nRecip; ++i) states.push_back(d.Fill(sizeof(recip_data_t)));
  const DWORD capacity = nRecip ? (nRecip + 49) / 50 * 50 : 50;
  if (!d.Chance(0xF8))
    m->items.push_back({WQS_ITEM_RECIPDATA, d.MaybeType(TYPE_USERDATA), 0,
                        ArrayValue(d, WQS_ITEM_RECIPDATA, sizeof(recip_data_t), 50,
                                   states, capacity)});
}

void BuildAttachments(Decoder& d, Message* m, WORD nAttach) {
  std::vector<Bytes> blocks;
  for (WORD i = 0; i < nAttach; ++i) {
    const DWORD size = d.Small(300);
    const Bytes data = d.Fill(size);
    DWORD rrv = 0;
    WQ_FUZZ_CHECK(QDSDbAllocObject(g_queue.dbhandle, size, 1, 0, &rrv) == NOERROR);
    WQ_FUZZ_CHECK(size == 0 || QDSDbWriteObjectBytes(g_queue.dbhandle, rrv, data.data(),
                                                     0, size) == NOERROR);
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
  if ((nAttach > 0 || d.Chance(0xF0)) && !d.Chance(0xF8))
    m->items.push_back({WQS_ITEM_ATTACHINFO, d.MaybeType(TYPE_USERDATA), 0,
                        ArrayValue(d, WQS_HEADER_ATTACH, sizeof(file_block_t), 1, blocks,
                                   (DWORD)blocks.size())});
}

void BuildStream(Decoder& d, Message* m, const std::string& name) {
  const DWORD pieces = d.Small(4);
  std::vector<Bytes> data, entries;
  DWORD total = 0;
  for (DWORD k = 0; k < pieces; ++k) {  // a full piece crosses into big values
    data.push_back(d.Fill(d.Chance(0xF8) ? WQS_DSB_MAX_CHUNK : 1 + d.Small(199)));
    total += (DWORD)data.back().size();
  }
  for (DWORD k = 0; k < pieces; ++k) {
    if (d.Chance(0xF8)) continue;  // a piece lost
    Bytes v = data[k];
    d.Reshape(&v);
    m->items.push_back({name + std::to_string(k), d.MaybeType(TYPE_TEXT), 0, v});
  }
  entries.push_back(Raw(d.Tweak(total)));
  const DWORD bent = pieces ? d.Small(pieces - 1) : 0;
  for (DWORD k = 0; k < pieces; ++k) {
    const DWORD len = (DWORD)data[k].size();
    entries.push_back(Raw(k == bent ? d.Tweak(len) : len));
  }
  const std::string table = WQS_ITEM_DSBARRAY + name;
  m->items.push_back({table, d.MaybeType(TYPE_USERDATA), 0,
                      ArrayValue(d, table, 4, 1, entries, (DWORD)entries.size())});
  m->items.push_back({WQS_ITEM_DSBSIZE + name, TYPE_NUMBER, 0, Raw((double)total)});
}

Message Build(Decoder& d) {
  Message m;
  msg_info_t info{};
  const DWORD kind = d.Small(3);
  info.wMsgType = kind == 0 ? WQS_MSG_SIMPLE : kind == 1 ? WQS_MSG_EXTENDED
                  : kind == 2 ? 0 : d.in.ConsumeIntegral<WORD>();
  const WORD nRecip = (WORD)(d.Chance(0xF8) ? d.Small(3000) : d.Small(8));
  const WORD nAttach = (WORD)d.Small(3);
  info.udh.itemNameLength = 32;
  memcpy(info.udh.userItemName, WQS_HEADER_MSGINFO, sizeof WQS_HEADER_MSGINFO);
  BuildRecipients(d, &m, nRecip, &info);
  BuildAttachments(d, &m, nAttach);
  info.wNumAttachments = (WORD)d.Tweak(nAttach);
  info.user.dwSize = sizeof(user_msg_info_t);
  info.user.dwQueueMsgID = d.in.ConsumeIntegral<DWORD>();
  info.user.wNumRecip = (WORD)d.Tweak(nRecip);
  Bytes tail = d.Fill(sizeof info.user - 10);
  memcpy(reinterpret_cast<char*>(&info.user) + 10, tail.data(), tail.size());
  if (!d.Chance(0xF8)) {
    Bytes v = Raw(info);
    d.Reshape(&v);
    m.items.insert(m.items.begin(), {WQS_ITEM_MSGINFO, d.MaybeType(TYPE_USERDATA), 0, v});
  }
  for (const char* s : kStreams)
    if (d.Chance(0x80)) BuildStream(d, &m, s);
  const double status = d.Small(12);
  m.items.push_back({"WQMsgStatus", d.MaybeType(TYPE_NUMBER), ITEM_SUMMARY, Raw(status)});
  if (d.Chance(0x80)) m.items.push_back({"WQErrStr", d.MaybeType(TYPE_TEXT), 0, d.Text(600)});
  if (d.Chance(0x80)) m.items.push_back({"WQIBNHE", d.MaybeType(TYPE_TEXT), 0, d.Text(300)});
  if (!m.items.empty() && d.Chance(0xF0)) {  // a doubled name: readers take the first
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
  const WORD n = info->wNumRecip, type = h->info.wMsgType;
  for (DWORD r = 0, last = n < 40 ? n + 2 : 40; r <= last; ++r) {
    const WORD w = r == last ? (WORD)0xFFFF : (WORD)r;
    recip_info_t ri{};
    STATUS st = WQSGetRecipient(h, w, &ri);
    // The open vouched for wNumRecip names, states, hops and post offices
    // of a simple or extended message.  Past them, or for a message of
    // another type, a simple read says so and an extended one passes up
    // the text list's own error (a list that is not there, an index past
    // its end).
    const bool vouched = w < n && (type == WQS_MSG_SIMPLE || type == WQS_MSG_EXTENDED);
    WQ_FUZZ_CHECK(st == NOERROR ||
                  (!vouched && (st == ERR_WQS_RECIP_RANGE ||
                                (type != WQS_MSG_SIMPLE &&
                                 (st == ERR_LIST_INDEX || st == ERR_BAD_ARG)))));
    if (st == NOERROR) Touch(ri.pName, ri.wNameLen);
    if (st == NOERROR && type != WQS_MSG_SIMPLE)
      Touch(ri.pNextHop, ri.wNextHopLen), Touch(ri.pPOName, ri.wPONameLen);
    recip_state_block_t rs;
    if (WInbHKGetRecipientInfo(wh, w, &rs) == NOERROR) Touch(rs.pName, rs.wNameLen);
    if (WOutbHKGetRecipientInfo(wh, w, &rs) == NOERROR) Touch(rs.pName, rs.wNameLen);
    recip_data_t* data = nullptr;
    WQSGetRecipientData(h, w, &data);
    if (data != nullptr) Touch(data, sizeof *data);
    if (d.Chance(0xC0)) WInbHKSetRecipientState(wh, w, 6);
  }
  msg_state_block_t ms;
  char nhe[256];
  WORD nheLen = 0;
  WQ_FUZZ_CHECK(WQInbHKGetMessageState(wh, &ms) == NOERROR &&
                strnlen(ms.szError, sizeof ms.szError) < sizeof ms.szError);
  WQ_FUZZ_CHECK(WQOutbHKGetMessageState(wh, &ms) == NOERROR);
  WQ_FUZZ_CHECK(WQInbHKGetNHE(wh, nhe, &nheLen) == NOERROR && nheLen <= sizeof nhe);
}

void ReadStream(Decoder& d, msg_handle_t* h, const char* name) {
  data_stream_block_t s;
  STATUS st = WQSOpenDataStreamBlock(h, name, &s);
  WQ_FUZZ_CHECK(In(st, {NOERROR, ERR_WQS_GENERAL, ERR_WQS_CORRUPT, ERR_WQS_NAME_TOO_LONG}));
  if (st != NOERROR) return;
  const DWORD size = WQSGetSizeOfDataStreamBlock(&s);
  for (int i = 0; i < 64; ++i) {
    if (d.Chance(0xE0))
      WQSDSBSeek(&s, d.Tweak(WQSGetDSBReadPos(&s)), d.Chance(0x80) ? WQS_SEEK_SET : 0);
    // Mostly small reads; now and then one longer than any piece, or none.
    const DWORD want = d.Chance(0xF0)   ? 0
                       : d.Chance(0xF0) ? 1 + d.Small(70000)
                                        : 1 + d.Small(300);
    std::unique_ptr<char[]> buf(new char[want ? want : 1]);
    WORD flag = 0;
    DWORD got = 0xFFFFFFFF;
    const DWORD before = WQSGetDSBReadPos(&s);
    st = WQSGetDataStreamBlock(h, &s, &flag, buf.get(), want, &got);
    WQ_FUZZ_CHECK(In(st, {NOERROR, ERR_WQS_CORRUPT, ERR_ITEM_NOT_FOUND}));
    if (st != NOERROR) break;
    WQ_FUZZ_CHECK(got <= want && WQSGetDSBReadPos(&s) == before + got);
    if (flag == WQS_DSB_END && got == 0 && before >= size) break;
  }
  WQ_FUZZ_CHECK(WQSCloseDataStreamBlock(&s) == NOERROR);
}

void ReadFiles(Decoder& d, msg_handle_t* h) {
  const WORD n = WQSGetNumFileBlocks(h);
  for (DWORD i = 0, last = n < 6 ? n + 1 : 6; i <= last; ++i) {
    const WORD w = i == last ? (WORD)0xFFFF : (WORD)i;
    file_descriptor_t* fd = nullptr; file_block_t* fb = nullptr;
    WQSGetFileBlockInfo(h, w, &fd, &fb);
    WQ_FUZZ_CHECK(fb || (!fd && w >= n));
    if (fb == nullptr) continue;
    Touch(fb, sizeof *fb);
    DHANDLE buf = NULLHANDLE;
    STATUS st = WQSGetFileBlockData(h, fb, d.Tweak(0), &buf);
    WQ_FUZZ_CHECK(st == NOERROR || (!buf && In(st, {ERR_OBJECT_NOT_FOUND, ERR_OBJECT_RANGE})));
    if (st != NOERROR) continue;
    DWORD size = 0;
    OSMemGetSize(buf, &size);
    const void* p = OSLockObject(buf);
    WQ_FUZZ_CHECK(p != nullptr);
    Touch(p, size);
    OSUnlockObject(buf);
    OSMemFree(buf);
  }
}

// A copy takes the stored lists and state array over and grows them (the
// one reader that writes into what it loaded), then is saved or discarded.
void CopyMessage(Decoder& d, msg_handle_t* h) {
  const WORD swapped = h->info.wMsgType == WQS_MSG_SIMPLE ? WQS_MSG_EXTENDED : WQS_MSG_SIMPLE;
  const WORD type = d.Chance(0xC0) ? swapped : h->info.wMsgType;
  msg_handle_t copy{};
  STATUS st = WQSCopyMsg(&g_queue, &g_queue, h, d.Chance(0x40) ? FALSE : TRUE, type, &copy);
  WQ_FUZZ_CHECK(In(st, {NOERROR, ERR_WQS_CORRUPT, ERR_WQS_GENERAL, ERR_ITEM_NOT_FOUND}));
  if (st != NOERROR) return;
  for (DWORD i = 0, n = d.Small(3); i < n; ++i) {
    Bytes name = d.Text(300), hop = d.Text(16), po = d.Text(16);
    recip_info_t ri{};
    ri.pName = name.data(), ri.wNameLen = (WORD)name.size();
    ri.pNextHop = hop.data(), ri.wNextHopLen = (WORD)hop.size();
    ri.pPOName = po.data(), ri.wPONameLen = (WORD)po.size();
    st = WQSAppendRecipient(&copy, &ri);
    WQ_FUZZ_CHECK(In(st, {NOERROR, ERR_WQS_GENERAL, ERR_LIST_FULL, ERR_LIST_CORRUPT}));
  }
  if (d.Chance(0x80) && WQSCloseAndSaveMsg(&copy) == NOERROR)
    WQ_FUZZ_CHECK(QDSNoteDelete(g_queue.dbhandle, copy.info.user.dwQueueMsgID, 0) == NOERROR);
  else
    WQ_FUZZ_CHECK(WQSCloseAndDiscardMsg(&copy) == NOERROR);
}

void Run(Decoder& d) {
  Message m = Build(d);
  NOTEHANDLE note = 0;
  NOTEID id = 0;
  WQ_FUZZ_CHECK(QDSNoteCreate(g_queue.dbhandle, &note) == NOERROR);
  for (const Item& it : m.items)
    WQ_FUZZ_CHECK(QDSItemAppend(note, it.flags, it.name.data(), (WORD)it.name.size(), it.type,
                                it.value.data(), (DWORD)it.value.size()) == NOERROR);
  WQ_FUZZ_CHECK(QDSNoteUpdate(note, 0) == NOERROR);
  QDSNoteGetInfo(note, _NOTE_ID, &id);
  WQ_FUZZ_CHECK(QDSNoteClose(note) == NOERROR);
  wq_msg_handle_t wh;
  memset(&wh, 0xA5, sizeof wh);  // the open must not rely on a zeroed handle
  wh.pdaRecipIndex = nullptr;
  wh.wFailedRecipients = 0;
  const STATUS opened = WQSOpenMsgByMsgID(&g_queue, id, &wh.msg);
  WQ_FUZZ_CHECK(In(opened, {NOERROR, ERR_WQS_CORRUPT, ERR_WQS_GENERAL, ERR_ITEM_NOT_FOUND}));
  if (opened == NOERROR) {
    WQ_FUZZ_CHECK(wh.msg.info.user.dwQueueMsgID == id);
    ReadRecipients(d, &wh);
    for (const char* s : kStreams) ReadStream(d, &wh.msg, s);
    ReadStream(d, &wh.msg, d.Text(24).c_str());
    ReadFiles(d, &wh.msg);
    if (d.Chance(0x80)) CopyMessage(d, &wh.msg);
    WQ_FUZZ_CHECK((d.Chance(0xC0) ? WQSCloseMsgAndUpdate(&wh.msg) : WQSCloseMsg(&wh.msg)) ==
                  NOERROR);
  }
  wq_verify_result_t vr;
  STATUS st = WQHKVerifyMsg(&g_queue, id, &vr);
  WQ_FUZZ_CHECK(strnlen(vr.szReason, sizeof vr.szReason) < sizeof vr.szReason);
  WQ_FUZZ_CHECK(st != NOERROR || opened != ERR_WQS_CORRUPT || vr.bDamaged);
  WQ_FUZZ_CHECK(QDSNoteDelete(g_queue.dbhandle, id, 0) == NOERROR);
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
  WQ_FUZZ_CHECK(OSMemTestTotalBlocks() == baseline);  // no block leaked
  return 0;
}
