// Message open over untrusted stored values.  The input is decoded into a
// message document: the info block, recipient lists, the recipient-state
// array, next-hop and post-office lists, the attachment table (with real
// objects behind it) and data streams, each built sound and then bent
// where the input says: a count, a length, an array header field or the
// value's own length moved a little or set to anything, an item left out
// or given another type.  Input that runs out leaves everything sound, so
// a short seed is a valid message.
//
// The document is written through the store and opened with the library.
// The open must succeed or give a STATUS; a message that opens must be
// readable through every reader (recipients, the housekeeping views,
// streams, file blocks) without a read past any value, must copy (with
// recipients added to the copy) or refuse to, and must close.
// WQHKVerifyMsg must agree with the open's refusal.  After each run the
// document and its objects are deleted and every runtime memory block
// must be back: a leak aborts the run.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"
#include "wqs/wqs.h"

namespace {

using Bytes = std::string;

queue_handle_t g_queue{};

const char* const kStreams[] = {"Body", "Header"};

// Reads the input as choices about the message.  Every choice made from
// an exhausted input is the sound one.
class Decoder {
 public:
  explicit Decoder(FuzzedDataProvider& in) : in_(in) {}

  // A stated number: the true one, a small step off it, a small number,
  // or anything at all.
  DWORD Tweak(DWORD truth) {
    BYTE how = in_.ConsumeIntegral<BYTE>();
    if (how < 0xA0) return truth;
    if (how < 0xE0) return truth + (DWORD)((int)how - 0xC0);  // -32 .. +31
    if (how < 0xFF) return (DWORD)(how - 0xE0);               // 0 .. 30
    return in_.ConsumeIntegral<DWORD>();
  }
  // True with odds of about (256 - from) / 256; never on an empty input.
  bool Chance(BYTE from) { return in_.ConsumeIntegral<BYTE>() >= from; }
  DWORD Small(DWORD max) { return in_.ConsumeIntegralInRange<DWORD>(0, max); }
  Bytes Text(size_t maxLen) {
    return in_.ConsumeBytesAsString(Small((DWORD)maxLen));
  }
  // `n` bytes from the input, zero-filled once it runs out.
  Bytes Fill(size_t n) {
    Bytes b = in_.ConsumeBytesAsString(n);
    b.resize(n, '\0');
    return b;
  }
  WORD Word() { return in_.ConsumeIntegral<WORD>(); }
  DWORD Dword() { return in_.ConsumeIntegral<DWORD>(); }

 private:
  FuzzedDataProvider& in_;
};

void PutDW(Bytes* b, size_t at, DWORD v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = (char)(v >> (8 * i));
}
void AddW(Bytes* b, WORD v) {
  b->push_back((char)(v & 0xFF));
  b->push_back((char)(v >> 8));
}

// The value's length as stored: cut short, or run on with input bytes.
void Reshape(Decoder& d, Bytes* v) {
  DWORD len = d.Tweak((DWORD)v->size());
  if (len > v->size() + 256) len = (DWORD)v->size() + 256;
  if (len <= v->size()) {
    v->resize(len);
  } else {
    *v += d.Fill(len - v->size());
  }
}

struct Item {
  std::string name;
  WORD type;
  WORD flags;
  Bytes value;  // after the type code
};

// A text-list value (after its type code) of `texts`, then bent.
Bytes ListValue(Decoder& d, const std::vector<Bytes>& texts) {
  Bytes v;
  AddW(&v, d.Tweak((DWORD)texts.size()) & 0xFFFF);
  const DWORD bent = texts.empty() ? 0 : d.Small((DWORD)texts.size() - 1);
  for (size_t i = 0; i < texts.size(); ++i) {
    DWORD len = (DWORD)texts[i].size();
    AddW(&v, (WORD)(i == bent ? d.Tweak(len) : len));
  }
  for (const Bytes& t : texts) v += t;
  Reshape(d, &v);
  return v;
}

// A dynamic-array item value (after the type code): the user-data header
// and the array image with `used` entries of `entrySize` bytes and room
// for `capacity`, every header field open to bending.
Bytes ArrayValue(Decoder& d, const char* header, DWORD entrySize,
                 DWORD granularity, const std::vector<Bytes>& entries,
                 DWORD capacity) {
  const DWORD used = (DWORD)entries.size();
  Bytes v(32 + 24, '\0');
  v[0] = 32;
  memcpy(&v[1], header, strlen(header));
  PutDW(&v, 32 + 0, d.Dword() & 0xFFFF);  // hArray: meaningless when stored
  PutDW(&v, 32 + 4, d.Tweak(24 + capacity * entrySize));
  PutDW(&v, 32 + 8, d.Tweak(entrySize));
  PutDW(&v, 32 + 12, d.Tweak(granularity));
  PutDW(&v, 32 + 16, d.Tweak(used));
  PutDW(&v, 32 + 20, d.Tweak(capacity - used));
  for (const Bytes& e : entries) v += e;
  v.resize(32 + 24 + capacity * entrySize, '\0');
  Reshape(d, &v);
  return v;
}

WORD MaybeType(Decoder& d, WORD type) {
  return d.Chance(0xF8) ? d.Word() : type;
}

struct Message {
  std::vector<Item> items;
  std::vector<DWORD> objects;  // allocated for this run, freed after it
  std::vector<std::string> streams;
  WORD type = WQS_MSG_SIMPLE;
};

void BuildRecipients(Decoder& d, Message* m, WORD nRecip, msg_info_t* info) {
  std::vector<Bytes> names, hops, pos;
  for (WORD i = 0; i < nRecip; ++i) names.push_back(d.Text(24));
  const bool extended = m->type != WQS_MSG_SIMPLE;
  DWORD nLists = extended ? 1 : 1 + d.Small(2);
  if (nLists > nRecip && nRecip > 0) nLists = nRecip;
  info->wNumRecipLists = (WORD)d.Tweak(nLists);
  for (DWORD k = 0; k < nLists; ++k) {
    std::vector<Bytes> part;
    for (WORD i = 0; i < nRecip; ++i) {
      if (i * nLists / (nRecip ? nRecip : 1) == k) part.push_back(names[i]);
    }
    m->items.push_back({"WQSRecip" + std::to_string(k),
                        MaybeType(d, TYPE_TEXT_LIST), 0, ListValue(d, part)});
  }
  if (extended || d.Chance(0xF0)) {
    for (WORD i = 0; i < nRecip; ++i) hops.push_back(d.Text(16));
    for (WORD i = 0; i < nRecip; ++i) pos.push_back(d.Text(16));
    if (!d.Chance(0xF8)) {
      m->items.push_back({WQS_ITEM_NHE, MaybeType(d, TYPE_TEXT_LIST), 0,
                          ListValue(d, hops)});
    }
    if (!d.Chance(0xF8)) {
      m->items.push_back({WQS_ITEM_PO, MaybeType(d, TYPE_TEXT_LIST), 0,
                          ListValue(d, pos)});
    }
  }
  std::vector<Bytes> states;
  for (WORD i = 0; i < nRecip; ++i) states.push_back(d.Fill(sizeof(recip_data_t)));
  DWORD capacity = (nRecip + 49) / 50 * 50;
  if (capacity == 0) capacity = 50;
  if (!d.Chance(0xF8)) {
    m->items.push_back({WQS_ITEM_RECIPDATA, MaybeType(d, TYPE_USERDATA), 0,
                        ArrayValue(d, WQS_ITEM_RECIPDATA, sizeof(recip_data_t),
                                   50, states, capacity)});
  }
}

void BuildAttachments(Decoder& d, Message* m, WORD nAttach) {
  std::vector<Bytes> blocks;
  for (WORD i = 0; i < nAttach; ++i) {
    DWORD size = d.Small(300);
    DWORD rrv = 0;
    if (QDSDbAllocObject(g_queue.dbhandle, size, 1, 0, &rrv) != NOERROR) {
      wqfuzz::Fail("cannot allocate an object of %lu bytes",
                   (unsigned long)size);
    }
    m->objects.push_back(rrv);
    Bytes data = d.Fill(size);
    if (size > 0 &&
        QDSDbWriteObjectBytes(g_queue.dbhandle, rrv, data.data(), 0, size) !=
            NOERROR) {
      wqfuzz::Fail("cannot write an object");
    }
    file_block_t fb;
    memset(&fb, 0, sizeof fb);
    fb.RRV = d.Tweak(rrv);
    fb.dwNextWrite = d.Tweak(size);
    fb.dwLength = d.Tweak(size);
    fb.fd.fileType = d.Chance(0xC0) ? WQS_FILETYPE_MACEXT : 1;
    Bytes name = d.Text(32);
    memcpy(fb.fd.fileName, name.data(), name.size());
    fb.fd.wNameLen = (WORD)d.Tweak((DWORD)name.size());
    fb.fd.size = size;
    blocks.emplace_back(reinterpret_cast<const char*>(&fb), sizeof fb);
  }
  if (nAttach > 0 || d.Chance(0xF0)) {
    if (!d.Chance(0xF8)) {
      m->items.push_back({WQS_ITEM_ATTACHINFO, MaybeType(d, TYPE_USERDATA), 0,
                          ArrayValue(d, WQS_HEADER_ATTACH, sizeof(file_block_t),
                                     1, blocks, (DWORD)blocks.size())});
    }
  }
}

void BuildStream(Decoder& d, Message* m, const std::string& name) {
  const DWORD pieces = d.Small(4);
  std::vector<Bytes> data;
  DWORD total = 0;
  for (DWORD k = 0; k < pieces; ++k) {
    // Mostly small pieces; now and then a full one, to cross the store's
    // boundary between small and big values.
    DWORD len = d.Chance(0xF8) ? WQS_DSB_MAX_CHUNK : 1 + d.Small(199);
    data.push_back(d.Fill(len));
    total += len;
  }
  for (DWORD k = 0; k < pieces; ++k) {
    if (d.Chance(0xF8)) continue;  // a piece lost
    Bytes v = data[k];
    Reshape(d, &v);
    m->items.push_back({name + std::to_string(k), MaybeType(d, TYPE_TEXT), 0,
                        v});
  }
  std::vector<Bytes> entries;
  Bytes e(4, '\0');
  PutDW(&e, 0, d.Tweak(total));
  entries.push_back(e);
  const DWORD bent = pieces ? d.Small(pieces - 1) : 0;
  for (DWORD k = 0; k < pieces; ++k) {
    DWORD len = (DWORD)data[k].size();
    PutDW(&e, 0, k == bent ? d.Tweak(len) : len);
    entries.push_back(e);
  }
  std::string table = WQS_ITEM_DSBARRAY + name;
  m->items.push_back({table, MaybeType(d, TYPE_USERDATA), 0,
                      ArrayValue(d, table.c_str(), 4, 1, entries,
                                 (DWORD)entries.size())});
  double size = total;
  m->items.push_back({WQS_ITEM_DSBSIZE + name, TYPE_NUMBER, 0,
                      Bytes(reinterpret_cast<const char*>(&size), 8)});
  m->streams.push_back(name);
}

void BuildFields(Decoder& d, Message* m) {
  double status = d.Small(12);
  m->items.push_back({"WQMsgStatus", MaybeType(d, TYPE_NUMBER), ITEM_SUMMARY,
                      Bytes(reinterpret_cast<const char*>(&status), 8)});
  if (d.Chance(0x80)) {
    m->items.push_back({"WQErrStr", MaybeType(d, TYPE_TEXT), 0, d.Text(600)});
  }
  if (d.Chance(0x80)) {
    m->items.push_back({"WQIBNHE", MaybeType(d, TYPE_TEXT), 0, d.Text(300)});
  }
}

Message Build(Decoder& d) {
  Message m;
  switch (d.Small(3)) {
    case 0: m.type = WQS_MSG_SIMPLE; break;
    case 1: m.type = WQS_MSG_EXTENDED; break;
    case 2: m.type = 0; break;
    default: m.type = d.Word(); break;
  }
  WORD nRecip = (WORD)(d.Chance(0xF8) ? d.Small(3000) : d.Small(8));
  WORD nAttach = (WORD)d.Small(3);

  msg_info_t info;
  memset(&info, 0, sizeof info);
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
    Bytes v(reinterpret_cast<const char*>(&info), sizeof info);
    Reshape(d, &v);
    m.items.insert(m.items.begin(),
                   {WQS_ITEM_MSGINFO, MaybeType(d, TYPE_USERDATA), 0, v});
  }
  for (const char* s : kStreams) {
    if (d.Chance(0x80)) BuildStream(d, &m, s);
  }
  BuildFields(d, &m);
  // A second item of a name already there: readers take the first.
  if (!m.items.empty() && d.Chance(0xF0)) {
    Item dup = m.items[d.Small((DWORD)m.items.size() - 1)];
    Reshape(d, &dup.value);
    m.items.push_back(dup);
  }
  return m;
}

// Reads `len` bytes at `p` so that ASan sees them.
unsigned Touch(const void* p, size_t len) {
  const volatile unsigned char* b = static_cast<const unsigned char*>(p);
  unsigned sum = 0;
  for (size_t i = 0; i < len; ++i) sum += b[i];
  return sum;
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
    recip_info_t ri;
    memset(&ri, 0, sizeof ri);
    STATUS st = WQSGetRecipient(h, w, &ri);
    if (st == NOERROR) {
      Touch(ri.pName, ri.wNameLen);
      if (h->info.wMsgType != WQS_MSG_SIMPLE) {
        Touch(ri.pNextHop, ri.wNextHopLen);
        Touch(ri.pPOName, ri.wPONameLen);
      }
    } else {
      WQ_FUZZ_CHECK(st == ERR_WQS_RECIP_RANGE,
                    "recipient %u of an open message gave %u", w, st);
      // The open vouched for wNumRecip names, states and (extended) hops
      // and post offices.
      WQ_FUZZ_CHECK(!typed || w >= n,
                    "recipient %u of %u unreadable in an open message", w, n);
    }
    recip_state_block_t rs;
    st = WInbHKGetRecipientInfo(wh, w, &rs);
    if (st == NOERROR) Touch(rs.pName, rs.wNameLen);
    st = WOutbHKGetRecipientInfo(wh, w, &rs);
    if (st == NOERROR) Touch(rs.pName, rs.wNameLen);
    recip_data_t* data = nullptr;
    WQSGetRecipientData(h, w, &data);
    if (data != nullptr) Touch(data, sizeof *data);
    if (d.Chance(0xC0)) WInbHKSetRecipientState(wh, w, 6);
  }
  msg_state_block_t ms;
  WQ_FUZZ_CHECK(WQInbHKGetMessageState(wh, &ms) == NOERROR,
                "inbound message state");
  WQ_FUZZ_CHECK(strnlen(ms.szError, sizeof ms.szError) < sizeof ms.szError,
                "error text not terminated");
  WQ_FUZZ_CHECK(WQOutbHKGetMessageState(wh, &ms) == NOERROR,
                "outbound message state");
  char nhe[256];
  WORD nheLen = 0;
  WQ_FUZZ_CHECK(WQInbHKGetNHE(wh, nhe, &nheLen) == NOERROR, "next hop");
  WQ_FUZZ_CHECK(nheLen <= sizeof nhe, "next hop of %u bytes", nheLen);
}

void ReadStream(Decoder& d, msg_handle_t* h, const char* name) {
  data_stream_block_t s;
  STATUS st = WQSOpenDataStreamBlock(h, name, &s);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK(st == ERR_WQS_GENERAL || st == ERR_WQS_CORRUPT ||
                      st == ERR_WQS_NAME_TOO_LONG,
                  "stream open gave %u", st);
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
    WQ_FUZZ_CHECK(got <= want, "read %lu bytes into %lu", (unsigned long)got,
                  (unsigned long)want);
    WQ_FUZZ_CHECK(WQSGetDSBReadPos(&s) == before + got,
                  "read pointer moved by other than the bytes read");
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
      WQ_FUZZ_CHECK(fd == nullptr, "descriptor without a block");
      WQ_FUZZ_CHECK(w >= n, "file block %u of %u missing", w, n);
      continue;
    }
    Touch(fb, sizeof *fb);
    DHANDLE buf = NULLHANDLE;
    STATUS st = WQSGetFileBlockData(h, fb, d.Tweak(0), &buf);
    if (st == NOERROR) {
      DWORD size = 0;
      OSMemGetSize(buf, &size);
      const void* p = OSLockObject(buf);
      WQ_FUZZ_CHECK(p != nullptr, "object read gave no block");
      Touch(p, size);
      OSUnlockObject(buf);
      OSMemFree(buf);
    } else {
      WQ_FUZZ_CHECK(buf == NULLHANDLE, "failed object read left a block");
      WQ_FUZZ_CHECK(st == ERR_OBJECT_NOT_FOUND || st == ERR_OBJECT_RANGE,
                    "object read gave %u", st);
    }
  }
}

// A copy takes the stored lists and state array over and grows them, so
// it is the one reader that writes into what it loaded: copy, add a few
// recipients, then save (and delete) or discard.
void CopyMessage(Decoder& d, msg_handle_t* h) {
  const WORD type = d.Chance(0xC0) ? (WORD)(h->info.wMsgType == WQS_MSG_SIMPLE
                                                ? WQS_MSG_EXTENDED
                                                : WQS_MSG_SIMPLE)
                                   : h->info.wMsgType;
  msg_handle_t copy;
  memset(&copy, 0, sizeof copy);
  STATUS st = WQSCopyMsg(&g_queue, &g_queue, h, d.Chance(0x40) ? FALSE : TRUE,
                         type, &copy);
  if (st != NOERROR) {
    WQ_FUZZ_CHECK(st == ERR_WQS_CORRUPT || st == ERR_WQS_GENERAL ||
                      st == ERR_ITEM_NOT_FOUND,
                  "copy gave %u", st);
    return;
  }
  for (DWORD i = 0, n = d.Small(3); i < n; ++i) {
    Bytes name = d.Text(300), hop = d.Text(16), po = d.Text(16);
    recip_info_t ri;
    memset(&ri, 0, sizeof ri);
    ri.pName = name.data();
    ri.wNameLen = (WORD)name.size();
    ri.pNextHop = hop.data();
    ri.wNextHopLen = (WORD)hop.size();
    ri.pPOName = po.data();
    ri.wPONameLen = (WORD)po.size();
    st = WQSAppendRecipient(&copy, &ri);
    WQ_FUZZ_CHECK(st == NOERROR || st == ERR_WQS_GENERAL ||
                      st == ERR_LIST_FULL || st == ERR_LIST_CORRUPT,
                  "append to a copy gave %u", st);
  }
  if (d.Chance(0x80)) {
    st = WQSCloseAndSaveMsg(&copy);
    if (st == NOERROR) {
      WQ_FUZZ_CHECK(QDSNoteDelete(g_queue.dbhandle,
                                  copy.info.user.dwQueueMsgID, 0) == NOERROR,
                    "delete the saved copy");
      return;
    }
  }
  st = WQSCloseAndDiscardMsg(&copy);
  WQ_FUZZ_CHECK(st == NOERROR, "discarding a copy gave %u", st);
}

void Run(Decoder& d) {
  Message m = Build(d);
  NOTEHANDLE note = 0;
  WQ_FUZZ_CHECK(QDSNoteCreate(g_queue.dbhandle, &note) == NOERROR, "create");
  for (const Item& it : m.items) {
    STATUS st = QDSItemAppend(note, it.flags, it.name.data(),
                              (WORD)it.name.size(), it.type, it.value.data(),
                              (DWORD)it.value.size());
    WQ_FUZZ_CHECK(st == NOERROR, "append %s (%zu bytes): %u", it.name.c_str(),
                  it.value.size(), st);
  }
  STATUS st = QDSNoteUpdate(note, 0);
  WQ_FUZZ_CHECK(st == NOERROR, "save: %u", st);
  NOTEID id = 0;
  QDSNoteGetInfo(note, _NOTE_ID, &id);
  WQ_FUZZ_CHECK(QDSNoteClose(note) == NOERROR, "close");

  // The open must not rely on a zeroed handle.
  wq_msg_handle_t wh;
  memset(&wh, 0xA5, sizeof wh);
  wh.pdaRecipIndex = nullptr;
  wh.wFailedRecipients = 0;
  STATUS opened = WQSOpenMsgByMsgID(&g_queue, id, &wh.msg);
  if (opened == NOERROR) {
    WQ_FUZZ_CHECK(wh.msg.info.user.dwQueueMsgID == id, "open kept a stale id");
    ReadRecipients(d, &wh);
    for (const char* s : kStreams) ReadStream(d, &wh.msg, s);
    std::string other = d.Text(24);
    ReadStream(d, &wh.msg, other.c_str());
    ReadFiles(d, &wh.msg);
    if (d.Chance(0x80)) CopyMessage(d, &wh.msg);
    if (d.Chance(0xC0)) {
      st = WQSCloseMsgAndUpdate(&wh.msg);
      WQ_FUZZ_CHECK(st == NOERROR, "update close gave %u", st);
    } else {
      st = WQSCloseMsg(&wh.msg);
      WQ_FUZZ_CHECK(st == NOERROR, "close gave %u", st);
    }
  } else {
    WQ_FUZZ_CHECK(opened == ERR_WQS_CORRUPT || opened == ERR_WQS_GENERAL ||
                      opened == ERR_ITEM_NOT_FOUND,
                  "open gave unexpected status %u", opened);
  }

  wq_verify_result_t vr;
  st = WQHKVerifyMsg(&g_queue, id, &vr);
  WQ_FUZZ_CHECK(strnlen(vr.szReason, sizeof vr.szReason) < sizeof vr.szReason,
                "verify reason not terminated");
  if (st == NOERROR && opened == ERR_WQS_CORRUPT) {
    WQ_FUZZ_CHECK(vr.bDamaged, "verify passes a message the open refuses");
  }

  WQ_FUZZ_CHECK(QDSNoteDelete(g_queue.dbhandle, id, 0) == NOERROR, "delete");
  for (DWORD rrv : m.objects) QDSDbFreeObject(g_queue.dbhandle, rrv);
}

// The database stays open across runs; it is closed at exit so the leak
// check at the end sees nothing of it.  The store keeps its handle tables
// in function-local statics, destroyed at exit in the reverse order of
// their construction among the exit handlers: WarmUp builds them all
// before the handler is registered, so they outlive it.
void WarmUp(DBHANDLE db) {
  NOTEHANDLE n = 0;
  if (QDSNoteCreate(db, &n) == NOERROR) QDSNoteClose(n);
  QVWCloseCollection(0);
  QDSSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL, nullptr,
            [](void*, SEARCH_MATCH*, ITEM_TABLE*) -> STATUS { return NOERROR; },
            nullptr, nullptr);
}
void CloseAtExit() { QDSDbClose(g_queue.dbhandle); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  wqfuzz::DataDir();
  WQ_FUZZ_CHECK(QDSDbCreate("queue.qds", WQS_QUEUE_DB_CLASS, TRUE) == NOERROR,
                "create the queue");
  WQ_FUZZ_CHECK(QDSDbOpen("queue.qds", &g_queue.dbhandle) == NOERROR,
                "open the queue");
  WarmUp(g_queue.dbhandle);
  atexit(CloseAtExit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DWORD baseline = OSMemTestTotalBlocks();
  FuzzedDataProvider in(data, size);
  Decoder d(in);
  Run(d);
  wqfuzz::CheckBlocks(baseline, "message open");
  return 0;
}
