// Views: a design document of class NOTE_CLASS_VIEW holding a title and a
// selection formula.  A collection is a snapshot of the view's entries
// (the matching data documents, in note-id order) taken when it is opened,
// so reading it in pieces sees one consistent list even while documents
// change underneath.
#include <cstring>

#include "formula.h"
#include "item_key.h"
#include "store_int.h"
#include "tavlo/runtime.h"

namespace tavlo::store {
namespace {

const char kTitleItem[] = "$TITLE";
const char kFormulaItem[] = "$FORMULA";

bool EqualFold(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The text of the first item `name` of a stored document.  *found is
// false when the item is missing or not a text.
STATUS StoredText(Conn* c, NOTEID id, const char* name, std::string* out,
                  bool* found) {
  *found = false;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStItemByName, &st);
  if (!s) return st;
  StmtReset reset(s);
  sqlite3_bind_int64(s, 1, KeyFirst(id) + 1);  // items, not the header
  sqlite3_bind_int64(s, 2, KeyLast(id));
  sqlite3_bind_blob(s, 3, name, static_cast<int>(strlen(name)), SQLITE_STATIC);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return NOERROR;
  if (rc != SQLITE_ROW) return SqlStatus(rc);
  int len = sqlite3_column_bytes(s, 0);
  const unsigned char* v =
      static_cast<const unsigned char*>(sqlite3_column_blob(s, 0));
  if (len < 2 || v == nullptr) return ERR_DB_CORRUPT;
  if ((v[0] | v[1] << 8) != TYPE_TEXT) return NOERROR;
  try {
    out->assign(reinterpret_cast<const char*>(v) + 2, len - 2);
  } catch (...) {
    return ERR_MEMORY;
  }
  *found = true;
  return NOERROR;
}

STATUS Collect(void* arg, const SearchHit& hit) {
  auto* ids = static_cast<std::vector<NOTEID>*>(arg);
  try {
    ids->push_back(hit.id);
  } catch (...) {
    return ERR_MEMORY;
  }
  return NOERROR;
}

}  // namespace
}  // namespace tavlo::store

using namespace tavlo::store;

STATUS QDSViewCreate(DBHANDLE db, const char* title, const char* formula,
                     NOTEID* retViewId) {
  Db* d = nullptr;
  STATUS wst = GetWritableDb(db, &d);
  if (wst) return wst;
  if (title == nullptr || formula == nullptr) return ERR_BAD_ARG;
  size_t titleLen = strlen(title), formulaLen = strlen(formula);
  if (titleLen > 0xFFFF || formulaLen > 0xFFF0) return ERR_BAD_ARG;
  // Refuse a view that could never be opened.
  if (formulaLen) {
    std::shared_ptr<const tavlo::formula::Program> program;
    tavlo::formula::CompileError err;
    STATUS st = tavlo::formula::Compile(formula, &program, &err);
    if (st) return st;
  }
  NOTEHANDLE n = 0;
  STATUS st = QDSNoteCreate(db, &n);
  if (st) return st;
  WORD cls = NOTE_CLASS_VIEW;
  QDSNoteSetInfo(n, _NOTE_CLASS, &cls);
  st = QDSItemAppend(n, ITEM_SUMMARY, kTitleItem, sizeof kTitleItem - 1,
                     TYPE_TEXT, title, static_cast<DWORD>(titleLen));
  if (!st) {
    st = QDSItemAppend(n, ITEM_SUMMARY, kFormulaItem, sizeof kFormulaItem - 1,
                       TYPE_TEXT, formula, static_cast<DWORD>(formulaLen));
  }
  if (!st) st = QDSNoteUpdate(n, UPDATE_FORCE);
  NOTEID id = 0;
  if (!st) QDSNoteGetInfo(n, _NOTE_ID, &id);
  QDSNoteClose(n);
  if (!st && retViewId) *retViewId = id;
  return st;
}

STATUS QVWFindDesignNote(DBHANDLE db, const char* name, WORD noteClass,
                         NOTEID* retNoteId) {
  Db* d = GetDb(db);
  if (d == nullptr) return ERR_BAD_DB;
  if (name == nullptr) return ERR_BAD_ARG;
  Conn* c = d->conn;
  std::vector<NOTEID> ids;
  STATUS st = NOERROR;
  sqlite3_stmt* s = Stmt(c, kStNotesByClass, &st);
  if (!s) return st;
  try {
    StmtReset reset(s);
    sqlite3_bind_int(s, 1, noteClass);
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(s, 0)));
    }
    if (rc != SQLITE_DONE) return SqlStatus(rc);
  } catch (...) {
    return ERR_MEMORY;
  }
  std::string title;
  for (NOTEID id : ids) {
    bool found = false;
    st = StoredText(c, id, kTitleItem, &title, &found);
    if (st) return st;
    if (found && EqualFold(title, name)) {
      if (retNoteId) *retNoteId = id;
      return NOERROR;
    }
  }
  return ERR_VIEW_NOT_FOUND;
}

// `retViewUNID`, when given, receives 16 bytes: the view note's
// ORIGINATORID File and Note stamps.
STATUS QVWOpenCollection(DBHANDLE viewDb, DBHANDLE dataDb, NOTEID viewNoteId,
                         WORD openFlags, DHANDLE unreadList,
                         HCOLLECTION* retCollection, NOTEHANDLE* retViewNote,
                         void* retViewUNID, DHANDLE* retCollapsedList,
                         DHANDLE* retSelectedList) {
  Db* vd = GetDb(viewDb);
  if (vd == nullptr || GetDb(dataDb) == nullptr) return ERR_BAD_DB;
  if (retCollection == nullptr) return ERR_BAD_ARG;
  *retCollection = 0;
  if (retViewNote) *retViewNote = 0;
  if (retCollapsedList) *retCollapsedList = NULLHANDLE;
  if (retSelectedList) *retSelectedList = NULLHANDLE;

  Conn* c = vd->conn;
  STATUS st = NOERROR;
  ORIGINATORID viewOid;
  {
    WORD cls = 0;
    int64_t modified = 0;
    bool exists = false;
    st = NoteReadHeader(c, viewNoteId, &cls, &modified, &viewOid, &exists);
    if (st) return st;
    if (!exists) return ERR_VIEW_NOT_FOUND;
  }
  std::string formula;
  bool found = false;
  st = StoredText(c, viewNoteId, kFormulaItem, &formula, &found);
  if (st) return st;

  Collection* col = new (std::nothrow) Collection;
  if (col == nullptr) return ERR_MEMORY;
  col->db = dataDb;
  // A view without a formula shows every data document.
  st = SearchRun(dataDb, found ? formula : std::string(), NOTE_CLASS_DOCUMENT,
                 nullptr, 0, Collect, &col->ids);
  HCOLLECTION h = 0;
  if (!st) {
    h = Collections().Add(col);
    if (h == 0) st = ERR_MEMORY;
  }
  if (!st && retViewNote) {
    st = QDSNoteOpen(viewDb, viewNoteId, 0, retViewNote);
    if (st) Collections().Remove(h);
  }
  if (st) {
    delete col;
    return st;
  }
  if (retViewUNID) {
    memcpy(retViewUNID, &viewOid.File, sizeof(TIMEDATE));
    memcpy(static_cast<char*>(retViewUNID) + sizeof(TIMEDATE), &viewOid.Note,
           sizeof(TIMEDATE));
  }
  *retCollection = h;
  return NOERROR;
}

STATUS QVWReadEntries(HCOLLECTION collection, COLLECTIONPOSITION* position,
                      WORD skipNavigator, DWORD skipCount,
                      WORD returnNavigator, DWORD returnCount,
                      DWORD returnMask, DHANDLE* retBuffer,
                      WORD* retBufferLength, DWORD* retNumSkipped,
                      DWORD* retNumReturned, WORD* retSignalFlags) {
  if (retBuffer) *retBuffer = NULLHANDLE;
  if (retBufferLength) *retBufferLength = 0;
  if (retNumSkipped) *retNumSkipped = 0;
  if (retNumReturned) *retNumReturned = 0;
  if (retSignalFlags) *retSignalFlags = 0;
  Collection* col = Collections().Get(collection);
  if (col == nullptr) return ERR_BAD_COLLECTION;
  uint64_t size = col->ids.size();
  uint64_t pos = position ? position->Tumbler[0] : 0;
  if (pos > size) pos = size;

  // Skip forward; the entry reached becomes the first one returned.
  uint64_t skipped = 0;
  bool ranOff = false;  // the skip hit the end: nothing left to read
  if (skipNavigator == NAVIGATE_NEXT) {
    skipped = skipCount < size - pos ? skipCount : size - pos;
    ranOff = skipped < skipCount;
    pos += skipped;
  }
  uint64_t start = ranOff ? size + 1 : (pos == 0 ? 1 : pos);
  uint64_t want = returnNavigator == NAVIGATE_NEXT ? returnCount
                                                   : (returnCount ? 1 : 0);
  uint64_t avail = start <= size ? size - start + 1 : 0;
  uint64_t n = want < avail ? want : avail;

  DHANDLE h = NULLHANDLE;
  if (n && (returnMask & READ_MASK_NOTEID)) {
    if (n * sizeof(NOTEID) > 0xFFFFFFFFull) return ERR_BAD_ARG;
    STATUS st = OSMemAlloc(kTagViewEntries,
                           static_cast<DWORD>(n * sizeof(NOTEID)), &h);
    if (st) return st;
    void* p = OSLockObject(h);
    if (p == nullptr) {
      OSMemFree(h);
      return ERR_MEMORY;
    }
    memcpy(p, col->ids.data() + (start - 1), n * sizeof(NOTEID));
    OSUnlockObject(h);
  }
  uint64_t last = n ? start + n - 1 : pos;
  if (position) {
    position->Tumbler[0] = static_cast<DWORD>(last);
  }
  if (retBuffer) {
    *retBuffer = h;
  } else if (h) {
    OSMemFree(h);
  }
  if (retBufferLength) {
    uint64_t bytes = h ? n * sizeof(NOTEID) : 0;
    *retBufferLength = static_cast<WORD>(bytes > 0xFFFF ? 0xFFFF : bytes);
  }
  if (retNumSkipped) *retNumSkipped = static_cast<DWORD>(skipped);
  if (retNumReturned) *retNumReturned = static_cast<DWORD>(n);
  if (retSignalFlags && last < size) *retSignalFlags |= SIGNAL_MORE_TO_DO;
  return NOERROR;
}

STATUS QVWCloseCollection(HCOLLECTION collection) {
  Collection* col = Collections().Remove(collection);
  if (col == nullptr) return ERR_BAD_COLLECTION;
  delete col;
  return NOERROR;
}
