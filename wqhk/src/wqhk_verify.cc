// Stored-format checks of queue messages.  The library's open already
// refuses what it cannot read safely; these checks go further and hold the
// stored items to exactly what the writers produce (counts equal, not
// merely large enough; pieces adding up; objects as long as their table
// says), so an operator learns of damage before the relay trips over it.
// Every value is copied out of the store and every offset checked against
// the copy's length before it is read.
#include "wqhk/wqhk_verify.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tavlo/runtime.h"
#include "tavlo/store.h"

namespace {

constexpr DWORD kDaHeader = 24;  // stored dynamic-array header
constexpr DWORD kArrayPrefix = WQS_ARRAY_ITEM_PREFIX;  // type code + udh
constexpr DWORD kMaxPiece = WQS_DSB_MAX_CHUNK;
constexpr const char kFileItem[] = "$FILE";
constexpr const char kItemMsgStatus[] = "WQMsgStatus";
constexpr size_t kNameBuf = 256;

DWORD Dword(const std::string& v, size_t off) {
  const auto* b = reinterpret_cast<const unsigned char*>(v.data() + off);
  return (DWORD)b[0] | ((DWORD)b[1] << 8) | ((DWORD)b[2] << 16) |
         ((DWORD)b[3] << 24);
}
WORD Word(const std::string& v, size_t off) {
  const auto* b = reinterpret_cast<const unsigned char*>(v.data() + off);
  return (WORD)(b[0] | (b[1] << 8));
}

// One check of one message.  `Damaged` records the first problem; later
// ones are not reported (the first is what an operator needs to act on).
class Checker {
 public:
  Checker(queue_handle_t* q, NOTEID id, wq_verify_result_t* r)
      : q_(q), id_(id), r_(r) {}
  ~Checker() {
    if (note_ != 0) (void)QDSNoteClose(note_);
  }

  STATUS Run();

 private:
  bool Damaged(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  bool ok() const { return !r_->bDamaged; }
  // Reads item `name` whole (type code included).  Returns ERR_ITEM_NOT_FOUND
  // when absent; other store failures pass up.
  STATUS Read(const std::string& name, WORD* type, std::string* value);
  // Reads a stored dynamic-array item and checks its header against the
  // value's length and the expected entry size.  False (and Damaged) when
  // it breaks the layout.
  bool ArrayItem(const std::string& name, const std::string& value,
                 DWORD entrySize, DWORD* used, DWORD* capacity);
  // Reads a text-list item and returns its entry count.
  STATUS TextList(const std::string& name, DWORD* entries, bool* present);

  // Names of every item of the document, for checks that look for items by
  // kind rather than by one name.  Names too long to be any of ours are
  // left out.
  STATUS LoadNames();

  STATUS CheckInfo();
  STATUS CheckRecipients();
  STATUS CheckAttachments();
  STATUS CheckStreams();
  STATUS CheckStatus();
  STATUS CheckLibraryOpen();

  queue_handle_t* q_;
  NOTEID id_;
  wq_verify_result_t* r_;
  NOTEHANDLE note_ = 0;
  msg_info_t info_{};
  std::vector<std::string> names_;
};

bool Checker::Damaged(const char* fmt, ...) {
  if (r_->bDamaged) return false;
  r_->bDamaged = TRUE;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(r_->szReason, sizeof(r_->szReason), fmt, ap);
  va_end(ap);
  return false;
}

STATUS Checker::Read(const std::string& name, WORD* type, std::string* value) {
  BLOCKID bid;
  DWORD len = 0;
  WORD t = 0;
  STATUS err = QDSItemInfo(note_, name.data(), (WORD)name.size(), &t, &bid,
                           &len);
  if (err != NOERROR) return err;
  const char* p = OSLockBlock(bid);
  if (p == nullptr) return ERR_WQS_GENERAL;
  try {
    value->assign(p, len);
  } catch (...) {
    OSUnlockBlock(bid);
    return ERR_MEMORY;
  }
  OSUnlockBlock(bid);
  if (type != nullptr) *type = t;
  return NOERROR;
}

bool Checker::ArrayItem(const std::string& name, const std::string& v,
                        DWORD entrySize, DWORD* used, DWORD* capacity) {
  if (v.size() < kArrayPrefix + kDaHeader)
    return Damaged("%s: %zu bytes, shorter than an array header (%u)",
                   name.c_str(), v.size(), kArrayPrefix + kDaHeader);
  if (Word(v, 0) != TYPE_USERDATA)
    return Damaged("%s: type 0x%04X, not user data", name.c_str(), Word(v, 0));
  const size_t img = kArrayPrefix;
  DWORD dwSize = Dword(v, img + 4);
  DWORD dwEntry = Dword(v, img + 8);
  DWORD dwGrowth = Dword(v, img + 12);
  DWORD dwUsed = Dword(v, img + 16);
  DWORD dwAvail = Dword(v, img + 20);
  if ((uint64_t)kArrayPrefix + dwSize != v.size())
    return Damaged("%s: dwSize %u does not match the stored %zu bytes "
                   "(expected %zu)", name.c_str(), dwSize, v.size(),
                   v.size() - kArrayPrefix);
  if (dwEntry != entrySize)
    return Damaged("%s: entry size %u, expected %u", name.c_str(), dwEntry,
                   entrySize);
  if (dwGrowth == 0) return Damaged("%s: growth step 0", name.c_str());
  if (dwSize < kDaHeader || (dwSize - kDaHeader) % dwEntry != 0)
    return Damaged("%s: dwSize %u is not a whole number of %u-byte entries",
                   name.c_str(), dwSize, dwEntry);
  DWORD cap = (dwSize - kDaHeader) / dwEntry;
  if ((uint64_t)dwUsed + dwAvail != cap)
    return Damaged("%s: %u used + %u free entries, but room for %u",
                   name.c_str(), dwUsed, dwAvail, cap);
  *used = dwUsed;
  *capacity = cap;
  return true;
}

STATUS Checker::TextList(const std::string& name, DWORD* entries,
                         bool* present) {
  std::string v;
  WORD type = 0;
  *present = false;
  *entries = 0;
  STATUS err = Read(name, &type, &v);
  if (err == ERR_ITEM_NOT_FOUND) return NOERROR;
  if (err != NOERROR) return err;
  *present = true;
  if (type != TYPE_TEXT_LIST || v.size() < 2 || Word(v, 0) != TYPE_TEXT_LIST) {
    Damaged("%s: not a text list (type 0x%04X)", name.c_str(), type);
    return NOERROR;
  }
  if (ListCheck(v.data(), TRUE, (DWORD)v.size()) != NOERROR) {
    Damaged("%s: text list lengths run past its %zu bytes", name.c_str(),
            v.size());
    return NOERROR;
  }
  *entries = ListGetNumEntries(v.data(), TRUE);
  return NOERROR;
}

STATUS Checker::LoadNames() {
  DWORD count = QDSItemCount(note_);
  char name[kNameBuf];
  for (DWORD i = 0; i < count; i++) {
    WORD nameLen = 0;
    STATUS err = QDSItemInfoByIndex(note_, i, name, sizeof(name), &nameLen,
                                    nullptr, nullptr, nullptr, nullptr);
    if (err != NOERROR) return err;
    if (nameLen >= sizeof(name)) continue;
    try {
      names_.emplace_back(name, nameLen);
    } catch (...) {
      return ERR_MEMORY;
    }
  }
  return NOERROR;
}

STATUS Checker::CheckInfo() {
  std::string v;
  WORD type = 0;
  STATUS err = Read(WQS_ITEM_MSGINFO, &type, &v);
  if (err == ERR_ITEM_NOT_FOUND) {
    Damaged("no " WQS_ITEM_MSGINFO " item: not a queue message");
    return NOERROR;
  }
  if (err != NOERROR) return err;
  if (v.size() != 2 + sizeof(msg_info_t)) {
    Damaged(WQS_ITEM_MSGINFO ": %zu bytes, expected %zu", v.size(),
            2 + sizeof(msg_info_t));
    return NOERROR;
  }
  if (Word(v, 0) != TYPE_USERDATA) {
    Damaged(WQS_ITEM_MSGINFO ": type 0x%04X, not user data", Word(v, 0));
    return NOERROR;
  }
  std::memcpy(&info_, v.data() + 2, sizeof(info_));
  if (info_.wMsgType != WQS_MSG_SIMPLE && info_.wMsgType != WQS_MSG_EXTENDED)
    Damaged("unknown message type %u", (unsigned)info_.wMsgType);
  else if (info_.wNumRecipLists == 0)
    Damaged("wNumRecipLists is 0 (at least one recipient list is stored)");
  else if (info_.wMsgType == WQS_MSG_EXTENDED && info_.wNumRecipLists != 1)
    Damaged("extended message with %u recipient lists (always 1)",
            (unsigned)info_.wNumRecipLists);
  return NOERROR;
}

STATUS Checker::CheckRecipients() {
  const DWORD wanted = info_.user.wNumRecip;
  DWORD total = 0;
  for (DWORD i = 0; i < info_.wNumRecipLists && ok(); i++) {
    char name[16];
    std::snprintf(name, sizeof(name), "%s%u", WQS_ITEM_RECIP, (unsigned)i);
    DWORD n = 0;
    bool present = false;
    STATUS err = TextList(name, &n, &present);
    if (err != NOERROR) return err;
    if (!present) {
      Damaged("%s missing (wNumRecipLists %u)", name,
              (unsigned)info_.wNumRecipLists);
      break;
    }
    total += n;
  }
  if (!ok()) return NOERROR;
  if (total != wanted) {
    Damaged("recipient lists hold %u names, wNumRecip is %u", total, wanted);
    return NOERROR;
  }
  if (info_.wMsgType == WQS_MSG_EXTENDED) {
    for (const char* name : {WQS_ITEM_NHE, WQS_ITEM_PO}) {
      DWORD n = 0;
      bool present = false;
      STATUS err = TextList(name, &n, &present);
      if (err != NOERROR) return err;
      if (!ok()) return NOERROR;
      if (!present) {
        Damaged("extended message without %s", name);
        return NOERROR;
      }
      if (n != wanted) {
        Damaged("%s has %u entries, wNumRecip is %u", name, n, wanted);
        return NOERROR;
      }
    }
  }

  std::string v;
  WORD type = 0;
  STATUS err = Read(WQS_ITEM_RECIPDATA, &type, &v);
  if (err == ERR_ITEM_NOT_FOUND) {
    Damaged("no " WQS_ITEM_RECIPDATA " item");
    return NOERROR;
  }
  if (err != NOERROR) return err;
  DWORD used = 0, cap = 0;
  if (!ArrayItem(WQS_ITEM_RECIPDATA, v, sizeof(recip_data_t), &used, &cap))
    return NOERROR;
  if (used != wanted)
    Damaged(WQS_ITEM_RECIPDATA ": %u recipient states, wNumRecip is %u", used,
            wanted);
  return NOERROR;
}

STATUS Checker::CheckAttachments() {
  // A message's own attachments are the ones its table counts.  A copy
  // keeps its source's $FILE items (and may keep its table) while counting
  // none of them, so $FILE items beyond the count, and a table on a message
  // that counts none, are not damage.
  if (info_.wNumAttachments == 0) return NOERROR;
  DWORD fileItems = 0;
  for (const std::string& n : names_) fileItems += n == kFileItem;

  std::string v;
  WORD type = 0;
  STATUS err = Read(WQS_ITEM_ATTACHINFO, &type, &v);
  if (err == ERR_ITEM_NOT_FOUND) {
    Damaged("wNumAttachments is %u but there is no " WQS_ITEM_ATTACHINFO,
            (unsigned)info_.wNumAttachments);
    return NOERROR;
  }
  if (err != NOERROR) return err;
  DWORD used = 0, cap = 0;
  if (!ArrayItem(WQS_ITEM_ATTACHINFO, v, sizeof(file_block_t), &used, &cap))
    return NOERROR;
  if (used != info_.wNumAttachments) {
    Damaged(WQS_ITEM_ATTACHINFO ": %u entries, wNumAttachments is %u", used,
            (unsigned)info_.wNumAttachments);
    return NOERROR;
  }
  if (fileItems < used) {
    Damaged("%u $FILE items for %u attachments", fileItems, used);
    return NOERROR;
  }
  for (DWORD i = 0; i < used; i++) {
    file_block_t fb;
    std::memcpy(&fb, v.data() + kArrayPrefix + kDaHeader + i * sizeof(fb),
                sizeof(fb));
    if (fb.fd.wNameLen > WQS_MAX_FILE_NAME)
      return Damaged("attachment %u: name length %u over %u", i,
                     (unsigned)fb.fd.wNameLen, WQS_MAX_FILE_NAME),
             NOERROR;
    uint64_t want = fb.fd.size;
    if (fb.fd.fileType == WQS_FILETYPE_MACEXT) want += fb.fd.resSize;
    if (want != fb.dwLength)
      return Damaged("attachment %u: length %u, its sizes add up to %llu", i,
                     fb.dwLength, (unsigned long long)want),
             NOERROR;
    DWORD objSize = 0;
    err = QDSDbGetObjectSize(q_->dbhandle, fb.RRV, &objSize);
    if (err == ERR_OBJECT_NOT_FOUND)
      return Damaged("attachment %u: object %u is missing", i, fb.RRV),
             NOERROR;
    if (err != NOERROR) return err;
    if (objSize != fb.dwLength)
      return Damaged("attachment %u: object %u holds %u bytes, table says %u",
                     i, fb.RRV, objSize, fb.dwLength),
             NOERROR;
  }
  return NOERROR;
}

STATUS Checker::CheckStreams() {
  // Names of every item first: a stream is known by its piece table.
  std::vector<std::string> tables, sizes;
  const std::string arrayPrefix = WQS_ITEM_DSBARRAY;
  const std::string sizePrefix = WQS_ITEM_DSBSIZE;
  for (const std::string& n : names_) {
    if (n.size() > arrayPrefix.size() &&
        n.compare(0, arrayPrefix.size(), arrayPrefix) == 0)
      tables.push_back(n.substr(arrayPrefix.size()));
    else if (n.size() > sizePrefix.size() &&
             n.compare(0, sizePrefix.size(), sizePrefix) == 0)
      sizes.push_back(n.substr(sizePrefix.size()));
  }
  for (const std::string& s : sizes) {
    bool found = false;
    for (const std::string& t : tables) found = found || t == s;
    if (!found)
      return Damaged("stream \"%s\": size item without a piece table",
                     s.c_str()),
             NOERROR;
  }
  for (const std::string& stream : tables) {
    std::string tableName = arrayPrefix + stream;
    std::string v;
    WORD type = 0;
    STATUS err = Read(tableName, &type, &v);
    if (err != NOERROR) return err;
    DWORD used = 0, cap = 0;
    if (!ArrayItem(tableName, v, sizeof(DWORD), &used, &cap)) return NOERROR;
    if (used == 0)
      return Damaged("stream \"%s\": empty piece table", stream.c_str()),
             NOERROR;
    if (used - 1 > 0xFFFF)
      return Damaged("stream \"%s\": %u pieces", stream.c_str(), used - 1),
             NOERROR;
    const size_t entries = kArrayPrefix + kDaHeader;
    DWORD total = Dword(v, entries);
    uint64_t sum = 0;
    for (DWORD k = 1; k < used; k++) {
      DWORD want = Dword(v, entries + 4 * k);
      if (want == 0 || want > kMaxPiece)
        return Damaged("stream \"%s\": piece %u of %u bytes", stream.c_str(),
                       k - 1, want),
               NOERROR;
      char pieceName[64];
      std::snprintf(pieceName, sizeof(pieceName), "%s%u", stream.c_str(),
                    (unsigned)(k - 1));
      std::string piece;
      WORD ptype = 0;
      err = Read(pieceName, &ptype, &piece);
      if (err == ERR_ITEM_NOT_FOUND)
        return Damaged("stream \"%s\": piece %s missing", stream.c_str(),
                       pieceName),
               NOERROR;
      if (err != NOERROR) return err;
      if (ptype != TYPE_TEXT || piece.size() != 2 + (size_t)want)
        return Damaged("stream \"%s\": piece %s holds %zu bytes, table says %u",
                       stream.c_str(), pieceName,
                       piece.size() >= 2 ? piece.size() - 2 : 0, want),
               NOERROR;
      sum += want;
    }
    if (sum != total)
      return Damaged("stream \"%s\": pieces add up to %llu, total is %u",
                     stream.c_str(), (unsigned long long)sum, total),
             NOERROR;
    std::string sizeName = sizePrefix + stream;
    std::string sv;
    WORD stype = 0;
    err = Read(sizeName, &stype, &sv);
    if (err == ERR_ITEM_NOT_FOUND)
      return Damaged("stream \"%s\": no size item", stream.c_str()), NOERROR;
    if (err != NOERROR) return err;
    double d = -1;
    if (sv.size() == 10 && Word(sv, 0) == TYPE_NUMBER)
      std::memcpy(&d, sv.data() + 2, sizeof(d));
    if (d != (double)total)
      return Damaged("stream \"%s\": size item does not hold the total %u",
                     stream.c_str(), total),
             NOERROR;
  }
  return NOERROR;
}

// The status is a DWORD stored as a number.  One that is not a whole
// number in range (a flipped bit in its value, say) reads as some status
// through WQSGetDWORD, which cuts it, yet no search for that status finds
// it: the failed-message search would pass it by for ever while list and
// stats call it failed.
STATUS Checker::CheckStatus() {
  std::string v;
  WORD type = 0;
  STATUS err = Read(kItemMsgStatus, &type, &v);
  if (err == ERR_ITEM_NOT_FOUND) return NOERROR;
  if (err != NOERROR) return err;
  if (type != TYPE_NUMBER || v.size() != 2 + sizeof(double)) return NOERROR;
  double d = 0;
  std::memcpy(&d, v.data() + 2, sizeof d);
  if (!(d >= 0 && d <= 4294967295.0 && d == static_cast<double>(static_cast<DWORD>(d))))
    Damaged("%s is %.17g, not a whole number: no search for a status finds it",
            kItemMsgStatus, d);
  return NOERROR;
}

STATUS Checker::CheckLibraryOpen() {
  msg_handle_t h;
  std::memset(&h, 0, sizeof(h));
  STATUS err = WQSOpenMsgByMsgID(q_, id_, &h);
  if (WQHKIsMessageDamage(err)) {
    char text[200];
    TavloStatusText(err, text, sizeof(text));
    Damaged("the library cannot open it: %s", text);
    return NOERROR;
  }
  if (err != NOERROR) return err;
  for (WORD r = 0; r < info_.user.wNumRecip && ok(); r++) {
    recip_info_t ri;
    std::memset(&ri, 0, sizeof(ri));
    STATUS rerr = WQSGetRecipient(&h, r, &ri);
    if (rerr != NOERROR) Damaged("recipient %u cannot be read", (unsigned)r);
  }
  return WQSCloseMsg(&h);
}

STATUS Checker::Run() {
  STATUS err = QDSNoteOpen(q_->dbhandle, id_, 0, &note_);
  if (err != NOERROR) {
    note_ = 0;
    return err;
  }
  err = LoadNames();
  if (err == NOERROR) err = CheckInfo();
  if (err == NOERROR && ok()) err = CheckRecipients();
  if (err == NOERROR && ok()) err = CheckAttachments();
  if (err == NOERROR && ok()) err = CheckStreams();
  if (err == NOERROR && ok()) err = CheckStatus();
  if (err == NOERROR && ok()) err = CheckLibraryOpen();
  return err;
}

STATUS CollectIds(void* arg, SEARCH_MATCH* match, ITEM_TABLE*) {
  if ((match->SERetFlags & (SE_FMATCH | SE_FDAMAGED)) == 0) return NOERROR;
  try {
    static_cast<std::vector<NOTEID>*>(arg)->push_back(match->ID.NoteID);
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

}  // namespace

BOOL WQHKIsMessageDamage(STATUS status) {
  switch (status) {
    case ERR_WQS_CORRUPT:
    case ERR_WQS_GENERAL:      // e.g. no WQSRecipData at all
    case ERR_WQS_RECIP_RANGE:
    case ERR_ITEM_NOT_FOUND:   // a list the info block counts is missing
    case ERR_LIST_CORRUPT:
    case ERR_DB_CORRUPT:       // its rows cannot be decoded (or read)
      return TRUE;
    default:
      return FALSE;
  }
}

STATUS WQHKVerifyMsg(queue_handle_t* pQueue, NOTEID noteId,
                     wq_verify_result_t* pResult) {
  std::memset(pResult, 0, sizeof(*pResult));
  pResult->noteId = noteId;
  Checker c(pQueue, noteId, pResult);
  STATUS err = c.Run();
  // A store failure means the check did not run: what it found so far
  // is not a verdict.
  if (err != NOERROR) {
    pResult->bDamaged = FALSE;
    pResult->szReason[0] = 0;
  }
  return err;
}

STATUS WQHKVerifyQueue(queue_handle_t* pQueue, WQHK_VERIFY_CALLBACK callback,
                       void* pArg, DWORD* pdwChecked, DWORD* pdwDamaged) {
  if (pdwChecked) *pdwChecked = 0;
  if (pdwDamaged) *pdwDamaged = 0;
  std::vector<NOTEID> ids;
  // Every message, those a search cannot decode too: they are the ones
  // most in need of a verdict.
  STATUS err = QDSSearch(pQueue->dbhandle, NULLHANDLE, nullptr, SEARCH_REPORT_DAMAGED,
                         NOTE_CLASS_DOCUMENT, nullptr, CollectIds, &ids,
                         nullptr);
  if (err != NOERROR) return err;
  for (NOTEID id : ids) {
    wq_verify_result_t r;
    err = WQHKVerifyMsg(pQueue, id, &r);
    if (err != NOERROR) return err;
    if (pdwChecked) ++*pdwChecked;
    if (r.bDamaged && pdwDamaged) ++*pdwDamaged;
    if (callback != nullptr) {
      err = callback(pArg, &r);
      if (err != NOERROR) return err;
    }
  }
  return NOERROR;
}
