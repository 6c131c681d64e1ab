// Rows of the summary index (see schema.cc): one per number, text or
// text-list entry of a summary item, keyed by the folded item name and the
// value.  Other value types are visible to formulas through the items
// themselves but have nothing an equality lookup could use.
#include <cmath>
#include <cstring>

#include "item_key.h"
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

// One index key: (name_lc, token) where token is a number or a text.
struct Key {
  bool isNumber = false;
  double number = 0;
  std::string_view text;  // already folded
};

void BindKey(sqlite3_stmt* s, const std::string& nameLc, const Key& k) {
  sqlite3_bind_text(s, 1, nameLc.data(), static_cast<int>(nameLc.size()),
                    SQLITE_STATIC);
  if (k.isNumber) {
    sqlite3_bind_double(s, 2, k.number);
  } else {
    sqlite3_bind_text(s, 2, k.text.empty() ? "" : k.text.data(),
                      static_cast<int>(k.text.size()), SQLITE_STATIC);
  }
}

// Calls fn(nameLc, key, entry) for every index key of a summary value;
// stops at and returns the first failure.  A malformed list yields the keys
// of its well-formed prefix; the formula, which checks the whole list,
// then rejects the candidate, so the index stays a superset of the
// matches.
template <typename F>
STATUS ForEachKey(std::string_view name, const char* value, size_t len, F fn) {
  if (len < 2) return NOERROR;
  WORD type = LoadWord(value);
  if (type != TYPE_NUMBER && type != TYPE_TEXT && type != TYPE_TEXT_LIST) {
    return NOERROR;
  }
  // Reused across calls: a save must not allocate per item.
  static std::string nameLc, textLc;
  try {
    LowerAscii(name, &nameLc);
    Key k;
    if (type == TYPE_NUMBER) {
      if (len < 10) return NOERROR;
      memcpy(&k.number, value + 2, sizeof k.number);
      if (std::isnan(k.number)) return NOERROR;  // equal to nothing
      k.isNumber = true;
      return fn(nameLc, k, 0);
    }
    if (type == TYPE_TEXT) {
      LowerAscii(std::string_view(value + 2, len - 2), &textLc);
      k.text = textLc;
      return fn(nameLc, k, 0);
    }
    if (len < 4) return NOERROR;
    WORD count = LoadWord(value + 2);
    size_t at = 4 + 2 * static_cast<size_t>(count);
    if (at > len) return NOERROR;
    for (WORD i = 0; i < count; ++i) {
      size_t tl = LoadWord(value + 4 + 2 * i);
      if (at + tl > len) break;
      LowerAscii(std::string_view(value + at, tl), &textLc);
      k.text = textLc;
      STATUS st = fn(nameLc, k, i);
      if (st) return st;
      at += tl;
    }
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

}  // namespace

STATUS SummaryAddRows(Conn* c, int64_t noteId, int64_t slot,
                      std::string_view name, const char* value, size_t len) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryInsert, &st);
  if (!s) return st;
  return ForEachKey(name, value, len,
                    [&](const std::string& nameLc, const Key& k, int entry) {
                      BindKey(s, nameLc, k);
                      sqlite3_bind_int64(s, 3, noteId);
                      sqlite3_bind_int64(s, 4, slot);
                      sqlite3_bind_int(s, 5, entry);
                      return StepDone(s);
                    });
}

STATUS SummaryDeleteRows(Conn* c, int64_t noteId, int64_t slot,
                         std::string_view name, const char* value, size_t len) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryDeleteItem, &st);
  if (!s) return st;
  return ForEachKey(name, value, len,
                    [&](const std::string& nameLc, const Key& k, int) {
                      BindKey(s, nameLc, k);
                      sqlite3_bind_int64(s, 3, noteId);
                      sqlite3_bind_int64(s, 4, slot);
                      return StepDone(s);
                    });
}

STATUS SummaryCheckRows(Conn* c, int64_t noteId, int64_t slot,
                        std::string_view name, const char* value, size_t len,
                        DWORD* missing, DWORD* expected) {
  *missing = *expected = 0;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryExists, &st);
  if (!s) return st;
  return ForEachKey(name, value, len,
                    [&](const std::string& nameLc, const Key& k, int entry) {
                      StmtReset reset(s);
                      BindKey(s, nameLc, k);
                      sqlite3_bind_int64(s, 3, noteId);
                      sqlite3_bind_int64(s, 4, slot);
                      sqlite3_bind_int(s, 5, entry);
                      int rc = sqlite3_step(s);
                      if (rc != SQLITE_ROW && rc != SQLITE_DONE) return SqlStatus(rc);
                      ++*expected;
                      if (rc == SQLITE_DONE) ++*missing;
                      return NOERROR;
                    });
}

bool SummaryRowBelongs(std::string_view name, const char* value, size_t len,
                       sqlite3_stmt* row) {
  const char* rowName = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
  const bool rowNumber = sqlite3_column_type(row, 1) == SQLITE_FLOAT ||
                         sqlite3_column_type(row, 1) == SQLITE_INTEGER;
  const int rowEntry = sqlite3_column_int(row, 4);
  bool found = false;
  ForEachKey(name, value, len, [&](const std::string& nameLc, const Key& k, int entry) {
    if (found || entry != rowEntry || rowName == nullptr || nameLc != rowName ||
        k.isNumber != rowNumber)
      return NOERROR;
    if (k.isNumber) {
      found = sqlite3_column_double(row, 1) == k.number;
    } else {
      const char* t = reinterpret_cast<const char*>(sqlite3_column_text(row, 1));
      found = t != nullptr && std::string_view(t, sqlite3_column_bytes(row, 1)) == k.text;
    }
    return NOERROR;
  });
  return found;
}

STATUS SummaryDeleteNote(Conn* c, NOTEID noteId) {
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStSummaryItems, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, KeyFirst(noteId));
  sqlite3_bind_int64(s, 2, KeyLast(noteId));
  int rc;
  // Deleting from `summary` while reading `items` is safe: the read does
  // not touch the table being changed.
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    std::string_view name(static_cast<const char*>(sqlite3_column_blob(s, 0)),
                          sqlite3_column_bytes(s, 0));
    const char* value = static_cast<const char*>(sqlite3_column_blob(s, 1));
    size_t len = sqlite3_column_bytes(s, 1);
    int64_t slot = sqlite3_column_int64(s, 2) & kSlotMask;
    if (value == nullptr) continue;
    st = SummaryDeleteRows(c, noteId, slot, name, value, len);
    if (st) return st;
  }
  return rc == SQLITE_DONE ? NOERROR : SqlStatus(rc);
}

}  // namespace tavlo::store
