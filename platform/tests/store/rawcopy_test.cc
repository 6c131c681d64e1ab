// Documents moved as stored between databases, with their objects: shared
// objects, ids kept or refused, fingerprints, and deletes that free only
// what no other document names, in one transaction.
#include <set>
#include <utility>

#include "store_test_util.h"

namespace {

class RawCopyTest : public StoreTest {
 public:
  static NOTEID Save(NOTEHANDLE n) { return SaveAndClose(n); }
};

DWORD NewObject(DBHANDLE db, const std::string& bytes) {
  DWORD rrv = 0;
  EXPECT_EQ(QDSDbAllocObject(db, static_cast<DWORD>(bytes.size()), 1, 0, &rrv), NOERROR);
  EXPECT_EQ(QDSDbWriteObjectBytes(db, rrv, bytes.data(), 0, static_cast<DWORD>(bytes.size())),
            NOERROR);
  return rrv;
}

// A document with a summary number and one $FILE item per object.
NOTEID DocWithObjects(DBHANDLE db, double status, std::initializer_list<DWORD> objects) {
  NOTEHANDLE n = 0;
  EXPECT_EQ(QDSNoteCreate(db, &n), NOERROR);
  EXPECT_EQ(QDSItemAppend(n, ITEM_SUMMARY, "Status", 6, TYPE_NUMBER, &status, 8), NOERROR);
  for (DWORD rrv : objects) {
    unsigned char ref[6] = {1, 0, static_cast<unsigned char>(rrv),
                            static_cast<unsigned char>(rrv >> 8),
                            static_cast<unsigned char>(rrv >> 16),
                            static_cast<unsigned char>(rrv >> 24)};
    EXPECT_EQ(QDSItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, ref, sizeof ref), NOERROR);
  }
  return RawCopyTest::Save(n);
}

std::string ObjectBytes(DBHANDLE db, DWORD rrv, STATUS* st) {
  DHANDLE h = 0;
  *st = QDSDbReadObject(db, rrv, 0, 0xFFFFFFFF, &h);
  if (*st) return "";
  DWORD size = 0;
  OSMemGetSize(h, &size);
  std::string out(size ? static_cast<const char*>(OSLockObject(h)) : "", size);
  if (size) OSUnlockObject(h);
  OSMemFree(h);
  return out;
}

unsigned long long Print(DBHANDLE db, NOTEID id) {
  unsigned long long p = 0;
  EXPECT_EQ(QDSNoteFingerprint(db, id, &p), NOERROR);
  return p;
}

std::set<std::pair<NOTEID, DWORD>> Refs(DBHANDLE db) {
  std::set<std::pair<NOTEID, DWORD>> out;
  EXPECT_EQ(QDSDbForEachObjectRef(
                db,
                [](void* a, NOTEID id, DWORD rrv) -> STATUS {
                  static_cast<std::set<std::pair<NOTEID, DWORD>>*>(a)->emplace(id, rrv);
                  return NOERROR;
                },
                &out),
            NOERROR);
  return out;
}

bool NoteExists(DBHANDLE db, NOTEID id) {
  NOTEHANDLE h = 0;
  if (QDSNoteOpen(db, id, 0, &h) != NOERROR) return false;
  QDSNoteClose(h);
  return true;
}

// Ids kept where free, an identical object under the id shared, a
// different one refused (nothing copied) or given a new id.
TEST_F(RawCopyTest, ObjectIdsAreKeptSharedWhenIdenticalAndOtherwiseRefusedOrRemapped) {
  DBHANDLE a = NewDb("a.qds"), b = NewDb("b.qds");
  const DWORD one = NewObject(a, "attachment one");
  const NOTEID doc = DocWithObjects(a, 11, {one});
  NOTEID copy = 0;
  ASSERT_EQ(QDSNoteCopyRaw(a, doc, b, RAWCOPY_KEEP_OBJECT_IDS, &copy, nullptr, 0, nullptr),
            NOERROR);
  STATUS st;
  EXPECT_EQ(ObjectBytes(b, one, &st), "attachment one");
  EXPECT_EQ(Print(a, doc), Print(b, copy));

  // The same message again (moved back and forth): its object is there
  // with the same bytes, so the second copy shares it.
  NOTEID again = 0;
  ASSERT_EQ(QDSNoteCopyRaw(a, doc, b, RAWCOPY_KEEP_OBJECT_IDS, &again, nullptr, 0, nullptr),
            NOERROR);
  EXPECT_EQ(Refs(b), (std::set<std::pair<NOTEID, DWORD>>{{copy, one}, {again, one}}));

  // Under that id `b` now holds other bytes: refused whole, or remapped.
  ASSERT_EQ(QDSNoteDelete(b, again, 0), NOERROR);
  ASSERT_EQ(QDSNoteDeleteWithObjects(b, copy, nullptr, 0), NOERROR);
  // Ids are never reused, so other bytes go under `one` by hand.
  ASSERT_EQ(QDSDbClose(b), NOERROR);
  Sql("b.qds", "INSERT INTO objects(rrv, class, privs, size) VALUES(" + std::to_string(one) +
                   ", 1, 0, 3)");
  ASSERT_EQ(QDSDbOpen("b.qds", &b), NOERROR);
  EXPECT_EQ(QDSNoteCopyRaw(a, doc, b, RAWCOPY_KEEP_OBJECT_IDS, &again, nullptr, 0, nullptr),
            ERR_DB_EXISTS);
  EXPECT_TRUE(Refs(b).empty()) << "a refused copy left rows behind";
  RAWCOPY_REMAP remap[2] = {};
  DWORD remapped = 0;
  ASSERT_EQ(QDSNoteCopyRaw(a, doc, b, 0, &again, remap, 2, &remapped), NOERROR);
  ASSERT_EQ(remapped, 1u);
  EXPECT_EQ(remap[0].OldId, one);
  EXPECT_EQ(ObjectBytes(b, remap[0].NewId, &st), "attachment one");
  EXPECT_EQ(Print(a, doc), Print(b, again)) << "a new object id is the same document";
  EXPECT_EQ(QDSDbClose(a), NOERROR);
  EXPECT_EQ(QDSDbClose(b), NOERROR);
}

// The fingerprint takes in the objects' bytes: a copy whose attachment is
// gone or differs is not the message.
TEST_F(RawCopyTest, FingerprintTellsAMissingOrChangedAttachment) {
  DBHANDLE a = NewDb("a.qds"), b = NewDb("b.qds");
  const DWORD one = NewObject(a, "attachment one");
  const NOTEID doc = DocWithObjects(a, 11, {one});
  NOTEID copy = 0;
  ASSERT_EQ(QDSNoteCopyRaw(a, doc, b, RAWCOPY_KEEP_NOTEID, &copy, nullptr, 0, nullptr), NOERROR);
  const unsigned long long whole = Print(a, doc);
  EXPECT_EQ(whole, Print(b, doc));
  ASSERT_EQ(QDSDbWriteObjectBytes(b, one, "A", 0, 1), NOERROR);
  EXPECT_NE(whole, Print(b, doc));
  ASSERT_EQ(QDSDbFreeObject(b, one), NOERROR);
  EXPECT_NE(whole, Print(b, doc));
  unsigned long long p = 0;
  EXPECT_EQ(QDSNoteFingerprint(b, 999, &p), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(QDSDbClose(a), NOERROR);
  EXPECT_EQ(QDSDbClose(b), NOERROR);
}

// Two documents naming one object (a copy made in the same database):
// deleting one keeps what the caller says the other still names; the
// references are listed per note; a database without objects lists none.
TEST_F(RawCopyTest, DeleteFreesOnlyTheObjectsNotKept) {
  DBHANDLE db = NewDb("q.qds");
  EXPECT_TRUE(Refs(db).empty());
  SaveDoc(db, 6);
  EXPECT_TRUE(Refs(db).empty());
  const DWORD shared = NewObject(db, "shared"), own = NewObject(db, "own");
  const NOTEID x = DocWithObjects(db, 11, {shared, own});
  const NOTEID y = DocWithObjects(db, 11, {shared});
  EXPECT_EQ(Refs(db),
            (std::set<std::pair<NOTEID, DWORD>>{{x, shared}, {x, own}, {y, shared}}));
  EXPECT_EQ(QDSNoteDeleteWithObjects(db, x, nullptr, 1), ERR_BAD_ARG);
  const DWORD keep[] = {shared};
  ASSERT_EQ(QDSNoteDeleteWithObjects(db, x, keep, 1), NOERROR);
  STATUS st;
  EXPECT_EQ(ObjectBytes(db, shared, &st), "shared");
  ObjectBytes(db, own, &st);
  EXPECT_EQ(st, ERR_OBJECT_NOT_FOUND);
  EXPECT_FALSE(NoteExists(db, x));
  ASSERT_EQ(QDSNoteDeleteWithObjects(db, y, nullptr, 0), NOERROR);
  ObjectBytes(db, shared, &st);
  EXPECT_EQ(st, ERR_OBJECT_NOT_FOUND);
  EXPECT_EQ(QDSNoteDeleteWithObjects(db, y, nullptr, 0), ERR_NOTE_NOT_FOUND);
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

// Every failure inside the delete leaves the document with all its
// objects: never a document whose attachment is gone, nor objects that
// no document names.
TEST_F(RawCopyTest, AFailedDeleteLeavesTheDocumentAndItsObjects) {
  DBHANDLE db = NewDb("q.qds");
  const DWORD one = NewObject(db, "one"), two = NewObject(db, "two");
  const NOTEID doc = DocWithObjects(db, 11, {one, two});
  bool fired = true;
  for (DWORD nth = 1; fired; nth++) {
    SCOPED_TRACE(nth);
    QDSTestFailNth(nth, ERR_DB_IO);
    STATUS st = QDSNoteDeleteWithObjects(db, doc, nullptr, 0);
    fired = QDSTestFaultFired();
    QDSTestDisarm();
    if (!fired) {
      EXPECT_EQ(st, NOERROR);
      break;
    }
    EXPECT_NE(st, NOERROR);
    STATUS rst;
    EXPECT_TRUE(NoteExists(db, doc));
    EXPECT_EQ(ObjectBytes(db, one, &rst), "one");
    EXPECT_EQ(ObjectBytes(db, two, &rst), "two");
  }
  EXPECT_FALSE(NoteExists(db, doc));
  EXPECT_EQ(QDSDbClose(db), NOERROR);
}

TEST_F(RawCopyTest, SelfContainedOnlyOnceClosedCleanly) {
  BOOL alone = TRUE;
  EXPECT_EQ(QDSDbIsSelfContained(Path("none.qds").c_str(), &alone), ERR_NOEXIST);
  DBHANDLE db = NewDb("q.qds");
  SaveDoc(db, 6);
  EXPECT_EQ(QDSDbIsSelfContained(Path("q.qds").c_str(), &alone), NOERROR);
  EXPECT_FALSE(alone) << "open for writing: its commits are in its WAL";
  EXPECT_EQ(QDSDbClose(db), NOERROR);
  EXPECT_EQ(QDSDbIsSelfContained(Path("q.qds").c_str(), &alone), NOERROR);
  EXPECT_TRUE(alone);
}

}  // namespace
