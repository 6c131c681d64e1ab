// Rows of the summary index (see schema.cc): one per number, text or
// text-list entry of a summary item, keyed by the folded item name.  Other
// value types are visible to formulas through the items themselves but
// have nothing an equality lookup could use.
#include <cmath>
#include <cstring>

#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {

void LowerAscii(std::string_view in, std::string* out) {
  out->resize(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    char ch = in[i];
    (*out)[i] = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
  }
}

namespace {

inline WORD LoadWord(const char* p) {
  return static_cast<WORD>(static_cast<BYTE>(p[0]) |
                           static_cast<BYTE>(p[1]) << 8);
}

STATUS InsertRow(sqlite3_stmt* s, int64_t noteId, int64_t seq, int entry,
                 const std::string& nameLc) {
  sqlite3_bind_int64(s, 1, noteId);
  sqlite3_bind_int64(s, 2, seq);
  sqlite3_bind_int(s, 3, entry);
  sqlite3_bind_text(s, 4, nameLc.data(), static_cast<int>(nameLc.size()),
                    SQLITE_STATIC);
  return StepDone(s);
}

}  // namespace

STATUS SummaryAddRows(Conn* c, int64_t noteId, int64_t seq,
                      std::string_view name, const char* value, size_t len) {
  if (len < 2) return NOERROR;
  WORD type = LoadWord(value);
  if (type != TYPE_NUMBER && type != TYPE_TEXT && type != TYPE_TEXT_LIST) {
    return NOERROR;
  }
  // Reused across calls: a save must not allocate per item.
  static std::string nameLc, textLc;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryInsert, &st);
  if (!s) return st;
  try {
    LowerAscii(name, &nameLc);
    if (type == TYPE_NUMBER) {
      if (len < 10) return NOERROR;
      double d;
      memcpy(&d, value + 2, sizeof d);
      if (std::isnan(d)) return NOERROR;  // equal to nothing
      sqlite3_bind_double(s, 5, d);
      return InsertRow(s, noteId, seq, 0, nameLc);
    }
    if (type == TYPE_TEXT) {
      LowerAscii(std::string_view(value + 2, len - 2), &textLc);
      sqlite3_bind_text(s, 5, textLc.data(), static_cast<int>(textLc.size()),
                        SQLITE_STATIC);
      return InsertRow(s, noteId, seq, 0, nameLc);
    }
    // Text list: a malformed list indexes only its well-formed prefix.
    if (len < 4) return NOERROR;
    WORD count = LoadWord(value + 2);
    size_t at = 4 + 2 * static_cast<size_t>(count);
    if (at > len) return NOERROR;
    for (WORD i = 0; i < count; ++i) {
      size_t tl = LoadWord(value + 4 + 2 * i);
      if (at + tl > len) break;
      LowerAscii(std::string_view(value + at, tl), &textLc);
      sqlite3_bind_text(s, 5, textLc.data(), static_cast<int>(textLc.size()),
                        SQLITE_STATIC);
      st = InsertRow(s, noteId, seq, i, nameLc);
      if (st) return st;
      at += tl;
    }
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

}  // namespace tavlo::store
