// The Tavlo document store: databases of documents ("notes"), each a list
// of named, typed items; database objects (byte arrays by id); selection
// formulas, search and views.  One SQLite file per database (WAL journal).
//
// Ownership: a document opened or created is held in memory until
// QDSNoteClose; changes reach the file only with QDSNoteUpdate, which is one
// atomic transaction.  Item values live in runtime memory blocks; the
// BLOCKID that QDSItemInfo returns stays valid until the item is deleted or
// the document closed.
#ifndef TAVLO_STORE_H_
#define TAVLO_STORE_H_

#include "tavlo/status.h"
#include "tavlo/types.h"

// Item value type codes; a stored value starts with its 2-byte type code.
#define TYPE_OBJECT ((WORD)0x0003)
#define TYPE_USERDATA ((WORD)0x000E)
#define TYPE_NUMBER ((WORD)0x0300)
#define TYPE_TIME ((WORD)0x0400)
#define TYPE_TEXT ((WORD)0x0500)
// TYPE_TEXT_LIST (0x0501) is in runtime.h.

// Item flags.
#define ITEM_SUMMARY ((WORD)0x0004)  // visible to formulas, search and views

// Note classes (bit mask).
#define NOTE_CLASS_DOCUMENT ((WORD)0x0001)
#define NOTE_CLASS_INFO ((WORD)0x0002)
#define NOTE_CLASS_FORM ((WORD)0x0004)
#define NOTE_CLASS_VIEW ((WORD)0x0008)
#define NOTE_CLASS_ICON ((WORD)0x0010)
#define NOTE_CLASS_DESIGN ((WORD)0x0020)
#define NOTE_CLASS_ACL ((WORD)0x0040)
#define NOTE_CLASS_ALL ((WORD)0x7FFF)

// Selectors of QDSNoteGetInfo / QDSNoteSetInfo.
#define _NOTE_DB 0     // DBHANDLE
#define _NOTE_ID 1     // NOTEID (set with a null value: no id, save makes a new one)
#define _NOTE_OID 2    // ORIGINATORID
#define _NOTE_CLASS 3  // WORD
#define _NOTE_MODIFIED 4  // TIMEDATE of the last save (get only)

// QDSNoteUpdate flags.
#define UPDATE_FORCE ((WORD)0x0001)

// Database info buffer: 128 characters, parts separated by '\n'.
#define DBINFO_SIZE 128
#define INFOPARSE_TITLE 0

// Replication flag the work queue sets on its databases.
#define REPLFLG_DISABLE ((WORD)0x0004)

// ---------------------------------------------------------------------------
// Databases.  Relative paths resolve against TavloDataDirectory().

// Opens an existing database for reading and writing; never creates a
// file.  ERR_NOEXIST (259) when the file is missing, ERR_NOT_A_DB for a
// file that is not a store database, ERR_DB_BUSY at once when another
// process has it open for writing (one writer per file; the lock is held
// until this process closes its last read-write handle of the file),
// ERR_DB_READONLY when the file cannot be written.
STATUS QDSDbOpen(const char* path, DBHANDLE* retDb);
// Opens an existing database for reading only.  Takes no writer lock, so
// it works while another process writes the file; it sees only committed
// transactions, and each search reads one consistent state of the file.
// Every call that would change the database through this handle (document
// save or delete, objects, info, replica info, ACL, copy into it, view
// creation) returns ERR_DB_READONLY.  Within one process, read-only and
// read-write handles of a file share one connection and see each other's
// saves at once.
STATUS QDSDbOpenReadOnly(const char* path, DBHANDLE* retDb);
// Opens for writing in bulk mode, for tools that save many documents in a
// row (the requeue pass, seeding, bulk actions).  Each save is still one
// atomic transaction and survives a kill of the process at any moment, but
// the store syncs the WAL to stable storage only at its sync points: after
// at most 1000 saves or 1 s (checked at each save), and at close, also
// when a reader's snapshot keeps the close's checkpoint from completing.
// A power loss undoes at most the work since the last sync point and never
// damages the file.  TAVLO_SYNC, when set, overrides: full syncs every
// save, normal only at checkpoints.  While a process has both bulk and
// per-save write handles of a file, per-save durability holds.
STATUS QDSDbOpenBulk(const char* path, DBHANDLE* retDb);
// Also closes the documents and collections still open through this
// handle (their handles become invalid; unsaved changes are dropped).
STATUS QDSDbClose(DBHANDLE db);
// Creates an empty database of class `dbClass` (e.g. 0xFF01).  An existing
// file gives ERR_DB_EXISTS unless `force` is TRUE.
STATUS QDSDbCreate(const char* path, WORD dbClass, BOOL force);
STATUS QDSDbDelete(const char* path);
STATUS QDSDbCopyACL(DBHANDLE source, DBHANDLE dest);
// Copies every document of a class in `noteClassMask` modified after
// `since` (a wildcard or minimum time copies all) from source to dest.
STATUS QDSDbCopy(DBHANDLE source, DBHANDLE dest, TIMEDATE since,
                 WORD noteClassMask);
// Info buffer: part 0 is the title.
void QDSDbInfoModify(char* info, WORD what, const char* text);
void QDSDbInfoParse(const char* info, WORD what, char* buf, WORD bufLen);
STATUS QDSDbInfoGet(DBHANDLE db, char* info);
STATUS QDSDbInfoSet(DBHANDLE db, const char* info);
STATUS QDSDbReplicaInfoGet(DBHANDLE db, DBREPLICAINFO* retInfo);
STATUS QDSDbReplicaInfoSet(DBHANDLE db, const DBREPLICAINFO* info);
// Last modification of data documents and of all other documents.
STATUS QDSDbModifiedTime(DBHANDLE db, TIMEDATE* retDataModified,
                         TIMEDATE* retNonDataModified);
STATUS QDSDbGenerateOID(DBHANDLE db, ORIGINATORID* retOid);
STATUS QDSDbGetClass(DBHANDLE db, WORD* retClass);
// Path of the open database as given to QDSDbOpen, resolved.
STATUS QDSDbPathGet(DBHANDLE db, char* buf, WORD bufLen);

// What the last QDSDbOpen, QDSDbOpenReadOnly or QDSDbRecover of this
// thread found, in words for an operator: why it failed (the file, the
// missing or foreign recovery data), or what a recovery did.  Empty when
// the STATUS says it all.
const char* QDSDbLastDetail(void);

// ---------------------------------------------------------------------------
// Checking and repairing a database below the documents.

// What QDSDbCheck finds.  NoteID or ObjectID names the document or object
// where there is one; Table the table; Text says what is wrong.
#define DBCHECK_PAGES 1         // SQLite's own check: a page or b-tree is damaged
#define DBCHECK_UNREADABLE 2    // rows of a table (or of one note) cannot be read
#define DBCHECK_NO_HEADER 3     // a note without its header row
#define DBCHECK_BAD_HEADER 4    // a header row that cannot be decoded
#define DBCHECK_BAD_SUMMARY 5   // a summary value a search cannot decode
#define DBCHECK_INDEX_MISSING 6 // a summary item without its search index rows
#define DBCHECK_INDEX_ORPHAN 7  // a search index row without its summary item
#define DBCHECK_ORPHAN_ITEMS 8  // items of a note that does not exist
#define DBCHECK_OBJECT 9        // an object's chunks do not fit its size
struct DBCHECK_FINDING {
  WORD Kind;
  NOTEID NoteID;
  DWORD ObjectID;
  const char* Table;  // may be null
  const char* Text;
};
typedef STATUS (*QDS_CHECK_CALLBACK)(void* arg, const DBCHECK_FINDING* finding);
#define DBCHECK_FULL 0x0001  // SQLite's full integrity check, not the quick one
// Checks the database below its documents; every finding goes to
// `callback` (may be null) as it is made, and the check goes on (a
// nonzero callback result stops it and is returned).  Reads only, in one
// snapshot.  NOERROR says the check ran, not that nothing was found:
// `retFindings` counts the findings.
STATUS QDSDbCheck(DBHANDLE db, WORD flags, QDS_CHECK_CALLBACK callback, void* arg,
                  DWORD* retFindings);

// Copies a document as stored from `source` into `dest` (another
// database): every row byte for byte, the header (modified time and
// ORIGINATORID) kept, so it works on documents nothing above the store can
// decode (and on rows whose note row is lost: they arrive as a document).
// Objects its $FILE items (TYPE_OBJECT values) refer to are copied along,
// keeping their ids where `dest` has them free; where `dest` has an object
// of that id holding the same bytes, the copy shares it; otherwise the
// object gets a new id written into those items; each changed id is reported (up to `maxRemap`
// into `retRemap`, all counted in `retRemapCount`).  One transaction in
// `dest`.  RAWCOPY_KEEP_NOTEID keeps the note id too (ERR_DB_EXISTS when
// `dest` has it); otherwise `retNewId` gets the new one.
#define RAWCOPY_KEEP_NOTEID 0x0001
// Refuse (ERR_DB_EXISTS, nothing copied) rather than give an object a new
// id: for documents whose own tables name their objects by id.
#define RAWCOPY_KEEP_OBJECT_IDS 0x0002
// Refuse (ERR_DB_CORRUPT) a document whose header row is lost or cannot be
// decoded: a salvage takes only documents it can vouch for.
#define RAWCOPY_NEED_HEADER 0x0004
struct RAWCOPY_REMAP {
  DWORD OldId;
  DWORD NewId;
};
STATUS QDSNoteCopyRaw(DBHANDLE source, NOTEID noteId, DBHANDLE dest, WORD flags,
                      NOTEID* retNewId, RAWCOPY_REMAP* retRemap, DWORD maxRemap,
                      DWORD* retRemapCount);
// Deletes a document and the objects its $FILE items refer to, except the
// `keepCount` ids in `keep`: objects another document also names (a copy
// made in the same database shares its source's objects; see
// QDSDbForEachObjectRef).  One transaction.  Also removes the rows of a
// document whose note row is lost.
STATUS QDSNoteDeleteWithObjects(DBHANDLE db, NOTEID noteId, const DWORD* keep,
                                DWORD keepCount);
// Calls `fn` for every object reference of every note: the note's id and
// the object's, in note-id order, in one snapshot (a scan of the items;
// none at all when the database holds no object).
STATUS QDSDbForEachObjectRef(DBHANDLE db, STATUS (*fn)(void* arg, NOTEID noteId, DWORD rrv),
                             void* arg);
// A 64-bit fingerprint of a document's rows as stored and of the objects
// its $FILE items name (their ids left out), equal for a document and its
// QDSNoteCopyRaw copy: how a move interrupted between copy and delete is
// recognised.  A missing object counts as such, so a copy that lost an
// attachment is not taken for the message.
STATUS QDSNoteFingerprint(DBHANDLE db, NOTEID noteId, unsigned long long* retPrint);
// Calls `fn` for the id of every note that has a row anywhere (its note
// row or any item), ascending, on a database whose pages may be damaged:
// rows that cannot be read are stepped over, and *retComplete (may be
// null) turns FALSE when any were.
STATUS QDSDbForEachNoteId(DBHANDLE db, STATUS (*fn)(void* arg, NOTEID id), void* arg,
                          BOOL* retComplete);
// Removes chunk rows of objects that do not exist (nothing refers to them).
STATUS QDSDbDropOrphanChunks(DBHANDLE db, DWORD* retRows);
// Rebuilds the search index from the items, in one transaction; the rows
// it now holds go to `retRows` (may be null).
STATUS QDSDbRebuildIndex(DBHANDLE db, DWORD* retRows);

// ---------------------------------------------------------------------------
// Recovery.  A writer keeps its commits in a WAL beside the file until they
// are checkpointed into it; the file records whether such a WAL belongs to
// it.  A file that was not closed cleanly and whose WAL is not beside it
// (moved or copied without it) is refused at open with ERR_DB_UNCLEAN, so
// nothing is lost silently.  QDSDbRecover resolves that, with every other
// process away from the file (ERR_DB_BUSY otherwise):
//   - no flags, no `fromWal`: applies the file's own WAL if it is beside
//     it, or adopts "<path>-wal" left by an earlier release after a crash;
//     ERR_DB_UNCLEAN when neither is there (the detail names candidates).
//   - `fromWal`: adopts that WAL when it provably belongs to the file (a
//     WAL of this release names the file's session; an earlier release's
//     must leave a sound database), else ERR_DB_FOREIGN_WAL and nothing
//     changes.  The adopted WAL is applied to a copy, which is checked and
//     then renamed over the file.
//   - RECOVER_DISCARD_UNSAVED: marks the file clean without its WAL,
//     knowingly losing what only the WAL held; the database may be damaged
//     (`verify` tells).
#define RECOVER_DISCARD_UNSAVED 0x0001
#define RECOVER_NOTHING 0    // *retOutcome: the file was clean
#define RECOVER_APPLIED 1    // its own WAL was applied
#define RECOVER_ADOPTED 2    // a WAL from elsewhere was adopted
#define RECOVER_DISCARDED 3  // the unsaved changes were given up
STATUS QDSDbRecover(const char* path, const char* fromWal, WORD flags,
                    WORD* retOutcome);
// Whether every commit of the file is in the file itself (it was closed
// cleanly: no WAL of its own must travel with it), from the marker alone.
// A file that was open when a process died, or is open now, is not.
STATUS QDSDbIsSelfContained(const char* path, BOOL* retSelfContained);

// ---------------------------------------------------------------------------
// Objects: byte arrays of a fixed size in a database, written in place.

STATUS QDSDbAllocObject(DBHANDLE db, DWORD size, WORD objClass, WORD privs,
                        DWORD* retRRV);
STATUS QDSDbFreeObject(DBHANDLE db, DWORD rrv);
// Writes `length` bytes from the memory block at `offset`.  Past the
// object's size gives ERR_OBJECT_RANGE.  Durable on return.
STATUS QDSDbWriteObject(DBHANDLE db, DWORD rrv, DHANDLE hBuffer,
                        DWORD offset, DWORD length);
// Same, from a plain address (for tools and tests).
STATUS QDSDbWriteObjectBytes(DBHANDLE db, DWORD rrv, const void* data,
                             DWORD offset, DWORD length);
// Reads from `offset` `length` bytes (0xFFFFFFFF: to the end) into a new
// memory block the caller frees.
STATUS QDSDbReadObject(DBHANDLE db, DWORD rrv, DWORD offset, DWORD length,
                       DHANDLE* retBuffer);
STATUS QDSDbGetObjectSize(DBHANDLE db, DWORD rrv, DWORD* retSize);

// ---------------------------------------------------------------------------
// Documents.

STATUS QDSNoteCreate(DBHANDLE db, NOTEHANDLE* retNote);
STATUS QDSNoteOpen(DBHANDLE db, NOTEID noteId, WORD flags,
                   NOTEHANDLE* retNote);
// Releases the document (and its unsaved changes).
STATUS QDSNoteClose(NOTEHANDLE note);
// Saves the document atomically; a new document gets its note id here.
// Only items appended or deleted since the last load or save are written;
// an item deleted and appended again under the same name takes over its
// old row and keeps its old position.  UPDATE_FORCE rewrites every item
// (for values changed in place through their BLOCKID).
STATUS QDSNoteUpdate(NOTEHANDLE note, WORD flags);
STATUS QDSNoteDelete(DBHANDLE db, NOTEID noteId, WORD flags);
// In-memory copy with every item; same database, same note id until changed.
STATUS QDSNoteCopy(NOTEHANDLE source, NOTEHANDLE* retCopy);
void QDSNoteGetInfo(NOTEHANDLE note, WORD what, void* retValue);
void QDSNoteSetInfo(NOTEHANDLE note, WORD what, const void* value);

// ---------------------------------------------------------------------------
// Items.  Names are case-sensitive here and compared by length and bytes;
// formulas compare names case-insensitively.  Items keep their order and
// duplicates.

// Appends an item; `value` is the value without its type code.
STATUS QDSItemAppend(NOTEHANDLE note, WORD flags, const char* name,
                     WORD nameLen, WORD type, const void* value,
                     DWORD valueLen);
// Appends an item whose whole value, type code first, is `valueLen` bytes
// at `value` (block number within a memory block).  On success the block
// belongs to the document; on failure it stays the caller's.  `retItem`
// may be null.
STATUS QDSItemAppendByBLOCKID(NOTEHANDLE note, WORD flags, const char* name,
                              WORD nameLen, BLOCKID value, DWORD valueLen,
                              BLOCKID* retItem);
// Appends an object reference item (value type TYPE_OBJECT first).  With
// `fDealloc` TRUE the block belongs to the document on success; otherwise
// the value is copied and the caller keeps the block.
STATUS QDSItemAppendObject(NOTEHANDLE note, WORD flags, const char* name,
                           WORD nameLen, BLOCKID value, DWORD valueLen,
                           BOOL fDealloc);
// Deletes every item of that name; ERR_ITEM_NOT_FOUND (546) when none.
STATUS QDSItemDelete(NOTEHANDLE note, const char* name, WORD nameLen);
// First item of that name: its type, its value (type code first) and the
// value length counting the type code.  Any out pointer may be null.
STATUS QDSItemInfo(NOTEHANDLE note, const char* name, WORD nameLen,
                   WORD* retType, BLOCKID* retValue, DWORD* retValueLen);
// The n-th (0-based) item of the document in order, for tools.
STATUS QDSItemInfoByIndex(NOTEHANDLE note, DWORD index, char* nameBuf,
                          WORD nameBufLen, WORD* retNameLen, WORD* retFlags,
                          WORD* retType, BLOCKID* retValue,
                          DWORD* retValueLen);
DWORD QDSItemCount(NOTEHANDLE note);
BOOL QDSItemIsPresent(NOTEHANDLE note, const char* name, WORD nameLen);
// Copies the text of a text item (first entry of a text list; a number is
// formatted) into `buf`, at most `bufLen` bytes, no terminator added;
// returns the count copied, 0 when absent.
WORD QDSItemGetText(NOTEHANDLE note, const char* name, char* buf,
                    WORD bufLen);
// TRUE when a number item of that name exists; *retNumber set then.
BOOL QDSItemGetNumber(NOTEHANDLE note, const char* name, double* retNumber);
BOOL QDSItemGetTime(NOTEHANDLE note, const char* name, TIMEDATE* retTime);

// ---------------------------------------------------------------------------
// Formulas and search.

// Compiles a selection formula into a memory block the caller frees with
// OSMemFree.  On a syntax error returns ERR_FORMULA_SYNTAX and, where the
// pointers are given, the error, its 1-based line and column, 0-based
// offset and the length of the faulty token.
STATUS QDSFormulaCompile(const char* formulaName, WORD formulaNameLen,
                         const char* formulaText, WORD formulaTextLen,
                         FORMULAHANDLE* retFormula, WORD* retFormulaLen,
                         STATUS* retCompileError, WORD* retLine,
                         WORD* retColumn, WORD* retOffset, WORD* retLength);

#define SE_FMATCH 0x01    // SERetFlags: the document matches
#define SE_FDAMAGED 0x80  // SERetFlags: undecodable (SEARCH_REPORT_DAMAGED)

struct SEARCH_MATCH {
  GLOBALINSTANCEID ID;
  ORIGINATORID OriginatorID;
  WORD NoteClass;
  BYTE SERetFlags;
  BYTE Privileges;
  WORD SummaryLength;
};

// Summary items handed to a search callback:
// ITEM_TABLE, then Items x ITEM {NameLength, ValueLength}, then for each
// item its name and its value (type code first), back to back.
struct ITEM_TABLE {
  WORD Length;  // bytes of the whole table (saturates at 65535)
  WORD Items;
};
struct ITEM {
  WORD NameLength;
  WORD ValueLength;
};

typedef STATUS (*QDS_SEARCH_CALLBACK)(void* arg, SEARCH_MATCH* match,
                                      ITEM_TABLE* summary);

#define SEARCH_SUMMARY 0x0002  // callers want the summary items
// Callers also want the documents whose header or summary values cannot be
// decoded, in note-id order among the matches, with SERetFlags SE_FDAMAGED
// and an empty summary table.  Without it they are skipped silently for
// the callback (recorded for QDSDbSearchDamage).
#define SEARCH_REPORT_DAMAGED 0x0100

// Runs `formula` (FORMULAHANDLE 0: every document) over the documents of a
// class in `noteClassMask` modified after `since` (null: all), calling
// `callback` once per match in note-id order on this thread.  A nonzero
// callback result stops the search and is returned.  `retUntil`, when
// given, gets the time the search ran to.  One damaged document never
// fails a search of the others: a document whose header or summary values
// cannot be decoded (or whose rows cannot be read) matches nothing, and a
// search index that cannot be read is replaced by a scan.
STATUS QDSSearch(DBHANDLE db, FORMULAHANDLE formula, const char* viewTitle,
                 WORD searchFlags, WORD noteClassMask, const TIMEDATE* since,
                 QDS_SEARCH_CALLBACK callback, void* arg,
                 TIMEDATE* retUntil);

// Says why QDSFormulaCompile refuses a formula, for an operator to read:
// the parser's message ("expected ')'"), zero-terminated in `retMessage`
// (cut to messageLen - 1 bytes), and where pointers are given the 1-based
// line and column, 0-based offset and length of the faulty token.  Returns
// what QDSFormulaCompile returns; on NOERROR the message is empty.  It
// compiles the text again rather than keeping a "last error", so it holds
// no state and any caller may ask about any text.
STATUS QDSFormulaErrorText(const char* formulaText, WORD formulaTextLen,
                           char* retMessage, WORD messageLen, WORD* retLine,
                           WORD* retColumn, WORD* retOffset, WORD* retLength);

// Calls `callback` once per distinct item name a formula reads (compared
// case-insensitively; the first spelling is passed, not terminated), in
// the order they first appear.  A nonzero callback result stops the walk
// and is returned.  A formula that does not compile gives its compile
// STATUS and no calls.
typedef STATUS (*QDS_FORMULA_ITEM_CALLBACK)(void* arg, const char* name,
                                            WORD nameLen);
STATUS QDSFormulaItemNames(const char* formulaText, WORD formulaTextLen,
                           QDS_FORMULA_ITEM_CALLBACK callback, void* arg);

// *retExists TRUE when some document of the database has a summary item of
// that name (any case) that a search can test: a number, a text or a text
// list.  One lookup in the search index, so it costs the same on any size
// of database; callers use it to warn about a formula naming an item that
// nothing carries (a typo selects nothing, silently).
STATUS QDSSummaryItemExists(DBHANDLE db, const char* name, BOOL* retExists);

// Item scans: a few named items of every document, read straight from their
// rows in one pass (no document is opened), for reports over large
// databases.  Per document of a class in `noteClassMask`, in note-id order,
// `callback` gets the document (its header row present and decodable, and
// its ORIGINATORID when it is) and, for each of the `nameCount` names (at
// most 16), the value of the first item of that name (type code first), or
// a null Value when it has none.  The values are valid during the call
// only; the callback must not write to `db`.  One read snapshot.
struct ITEM_VALUE {
  const void* Value;
  DWORD Length;
  WORD Flags;
};
struct ITEM_SCAN_DOC {
  NOTEID NoteID;
  WORD NoteClass;
  BOOL HeaderPresent;
  BOOL HeaderValid;
  ORIGINATORID OriginatorID;
};
typedef STATUS (*QDS_ITEMS_CALLBACK)(void* arg, const ITEM_SCAN_DOC* doc,
                                     const ITEM_VALUE* values, WORD count);
STATUS QDSDbScanItems(DBHANDLE db, WORD noteClassMask, const char* const* names,
                      WORD nameCount, QDS_ITEMS_CALLBACK callback, void* arg);

// QDSSearch over the documents with a note id greater than `after` only:
// pages of a large result, each found by the index (or the scan) from
// where the last one ended rather than from the start.
STATUS QDSSearchAfter(DBHANDLE db, FORMULAHANDLE formula, WORD searchFlags,
                      WORD noteClassMask, NOTEID after, QDS_SEARCH_CALLBACK callback,
                      void* arg);

// The documents searches through this handle have skipped since it was
// opened because they cannot be decoded (each once, ascending; up to
// `maxIds` of them into `retIds`, which may be null), their number, and
// whether a search found the index unreadable and scanned instead.
STATUS QDSDbSearchDamage(DBHANDLE db, NOTEID* retIds, DWORD maxIds,
                         DWORD* retCount, BOOL* retIndexDamaged);

// ---------------------------------------------------------------------------
// Views: a design document (class NOTE_CLASS_VIEW) with a title and a
// selection formula.  Its entries are the matching data documents in note-id
// order.

// Creates a view in a database; it is a document like any other, so
// QDSDbCopy carries it from a template to a new database.
STATUS QDSViewCreate(DBHANDLE db, const char* title, const char* formula,
                     NOTEID* retViewId);
// Finds a design note by title (case-insensitive) and class.
// ERR_VIEW_NOT_FOUND when there is none.
STATUS QVWFindDesignNote(DBHANDLE db, const char* name, WORD noteClass,
                         NOTEID* retNoteId);

#define NAVIGATE_CURRENT 0
#define NAVIGATE_NEXT 1
#define READ_MASK_NOTEID 0x00000001
#define SIGNAL_MORE_TO_DO 0x0020

struct COLLECTIONPOSITION {
  WORD Level;
  BYTE MinLevel;
  BYTE MaxLevel;
  DWORD Tumbler[32];  // Tumbler[0]: 1-based entry number, 0 before the first
};

// Opens a collection: a snapshot of the view's entries at this moment.
// `retViewUNID`, when given, receives 16 bytes (the view note's
// ORIGINATORID File and Note stamps).
STATUS QVWOpenCollection(DBHANDLE viewDb, DBHANDLE dataDb, NOTEID viewNoteId,
                         WORD openFlags, DHANDLE unreadList,
                         HCOLLECTION* retCollection, NOTEHANDLE* retViewNote,
                         void* retViewUNID, DHANDLE* retCollapsedList,
                         DHANDLE* retSelectedList);
// Skips `skipCount` entries by `skipNavigator` from `position`, then returns
// up to `returnCount` entries by `returnNavigator`.  With READ_MASK_NOTEID
// the buffer is an array of NOTEIDs in a new memory block (0 when no entry
// is returned); `position` moves to the last entry read.
// SIGNAL_MORE_TO_DO in the signal flags when entries remain.
STATUS QVWReadEntries(HCOLLECTION collection, COLLECTIONPOSITION* position,
                      WORD skipNavigator, DWORD skipCount,
                      WORD returnNavigator, DWORD returnCount,
                      DWORD returnMask, DHANDLE* retBuffer,
                      WORD* retBufferLength, DWORD* retNumSkipped,
                      DWORD* retNumReturned, WORD* retSignalFlags);
STATUS QVWCloseCollection(HCOLLECTION collection);

#endif  // TAVLO_STORE_H_
