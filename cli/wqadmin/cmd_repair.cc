// wqadmin repair: makes a damaged queue work again and throws nothing away.
//
// Damage at the document level (a message the library cannot open, a
// header or summary value a search cannot decode, rows whose note is lost)
// is set aside: each such message moves to QUEUE.damaged, copied row by row
// by the store (every item as stored, its objects along, its originator id
// kept) and then deleted from the queue.  A crash between the copy and the
// delete leaves it in both; the next repair recognises the copy by its
// fingerprint and finishes the move.  The search index is rebuilt from the
// items, and chunk rows of objects that do not exist are dropped.
//
// Damage below the documents (pages SQLite's check finds damaged, tables
// that cannot be read) cannot be repaired in place: every document that can
// still be read is copied, note id kept, into a new database that replaces
// the queue (the damaged file is kept as QUEUE.corrupt); what could not be
// read is named, and the exit code is 1: a partial salvage is never
// reported as success.
//
// A writer: refused while the relay or rswq has the queue open.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "admin.h"
#include "object_refs.h"
#include "output.h"
#include "safe_text.h"
#include "side_queue.h"
#include "tavlo/runtime.h"
#include "wqhk/wqhk_verify.h"

namespace wqadmin {

namespace {

struct Plan {
  std::map<NOTEID, std::string> move;  // note -> why
  bool rebuildIndex = false;
  bool orphanChunks = false;
  bool belowDocuments = false;  // pages or tables damaged: salvage
  std::vector<std::string> pageProblems;
  bool indexesOnly = true;      // every page problem is an index's
};

STATUS Findings(DBHANDLE db, Plan* plan) {
  return QDSDbCheck(
      db, 0,
      [](void* arg, const DBCHECK_FINDING* f) -> STATUS {
        Plan* p = static_cast<Plan*>(arg);
        const std::string text = f->Text ? f->Text : "";
        switch (f->Kind) {
          case DBCHECK_PAGES:
            p->belowDocuments = true;
            p->pageProblems.push_back(text);
            // An index that disagrees with its table is rebuilt in place;
            // anything else needs the salvage.
            if (text.find(" index ") == std::string::npos) p->indexesOnly = false;
            break;
          case DBCHECK_UNREADABLE:
            if (f->NoteID == 0 && f->Table && std::string(f->Table) == "summary") {
              p->rebuildIndex = true;  // the search index, rebuilt from the items
            } else if (f->NoteID == 0) {
              p->belowDocuments = true;
              p->indexesOnly = false;
              p->pageProblems.push_back(std::string(f->Table ? f->Table : "?") + ": " + text);
            } else {
              p->move.emplace(f->NoteID, text);
            }
            break;
          case DBCHECK_NO_HEADER:
          case DBCHECK_BAD_HEADER:
          case DBCHECK_BAD_SUMMARY:
          case DBCHECK_ORPHAN_ITEMS:
            p->move.emplace(f->NoteID, text);
            p->rebuildIndex = true;
            break;
          case DBCHECK_INDEX_MISSING:
          case DBCHECK_INDEX_ORPHAN:
            p->rebuildIndex = true;
            break;
          case DBCHECK_OBJECT:
            if (f->Table && std::string(f->Table) == "object_chunks" &&
                text.find("does not exist") != std::string::npos)
              p->orphanChunks = true;
            break;
        }
        return NOERROR;
      },
      plan, nullptr);
}

// Every message the library cannot open or calls damaged.
STATUS MessageDamage(queue_handle_t* q, Plan* plan) {
  std::vector<NOTEID> ids;
  STATUS err = ForEachNote(q, "", [&](NOTEID id, bool) {
    ids.push_back(id);
    return true;
  });
  if (err) return err;
  for (NOTEID id : ids) {
    if (plan->move.count(id)) continue;
    wq_verify_result_t r;
    err = WQHKVerifyMsg(q, id, &r);
    if (err == ERR_NOTE_NOT_FOUND || err == ERR_NOTE_DELETED) continue;
    if (err) {
      plan->move.emplace(id, "cannot be read: " + StatusText(err));
      continue;
    }
    if (r.bDamaged) plan->move.emplace(id, r.szReason);
  }
  return NOERROR;
}

// Fingerprints of what an earlier repair already set aside.
STATUS AlreadyAside(DBHANDLE side, std::set<unsigned long long>* prints) {
  struct Arg {
    DBHANDLE db;
    std::set<unsigned long long>* prints;
  } arg{side, prints};
  return QDSDbForEachNoteId(
      side,
      [](void* p, NOTEID id) -> STATUS {
        Arg* a = static_cast<Arg*>(p);
        unsigned long long fp = 0;
        if (QDSNoteFingerprint(a->db, id, &fp) == NOERROR) a->prints->insert(fp);
        return NOERROR;
      },
      &arg, nullptr);
}

int Salvage(const RepairOptions& o, queue_handle_t* q, const Plan& plan) {
  const std::string where = ResolvedPath(o.queue);
  for (const std::string& p : plan.pageProblems)
    Printf("damaged below the messages: %s\n", Printable(p).c_str());
  std::vector<NOTEID> ids;
  BOOL complete = TRUE;
  STATUS err = QDSDbForEachNoteId(
      q->dbhandle,
      [](void* a, NOTEID id) -> STATUS {
        static_cast<std::vector<NOTEID>*>(a)->push_back(id);
        return NOERROR;
      },
      &ids, &complete);
  if (err) {
    CloseQueue(o.queue, q);
    return Fail("cannot walk the notes of", where, err);
  }
  if (o.dryRun) {
    Printf("would salvage the %zu notes that can be read into a new %s (the damaged "
           "file kept as %s.corrupt)%s\n",
           ids.size(), where.c_str(), where.c_str(),
           complete ? "" : "; parts of the file cannot be read at all");
    CloseQueue(o.queue, q);
    return 1;
  }
  const std::string salvage = where + ".salvage", corrupt = where + ".corrupt";
  WORD cls = 0;
  DBHANDLE out = 0;
  err = QDSDbGetClass(q->dbhandle, &cls);
  if (!err) err = QDSDbCreate(salvage.c_str(), cls ? cls : WQS_QUEUE_DB_CLASS, TRUE);
  if (!err) err = QDSDbOpen(salvage.c_str(), &out);
  if (err) {
    CloseQueue(o.queue, q);
    return Fail("cannot make the salvage database", salvage, err);
  }
  char info[DBINFO_SIZE];
  if (QDSDbInfoGet(q->dbhandle, info) == NOERROR) (void)QDSDbInfoSet(out, info);
  (void)QDSDbCopyACL(q->dbhandle, out);
  DBREPLICAINFO repl;
  if (QDSDbReplicaInfoGet(q->dbhandle, &repl) == NOERROR) (void)QDSDbReplicaInfoSet(out, &repl);
  size_t saved = 0;
  std::vector<std::pair<NOTEID, STATUS>> lost;
  for (NOTEID id : ids) {
    // A note whose header row cannot be read is lost, not saved in part:
    // its other rows stay in the damaged file.
    err = QDSNoteCopyRaw(q->dbhandle, id, out, RAWCOPY_KEEP_NOTEID | RAWCOPY_NEED_HEADER, nullptr,
                         nullptr, 0, nullptr);
    if (err == ERR_NOTE_NOT_FOUND) err = ERR_DB_CORRUPT;
    if (err == NOERROR) saved++;
    else lost.emplace_back(id, err);
  }
  err = QDSDbClose(out);
  CloseQueue(o.queue, q);
  if (err) return Fail("cannot close the salvage database", salvage, err);
  std::error_code ec;
  std::filesystem::rename(where, corrupt, ec);
  if (!ec) std::filesystem::rename(salvage, where, ec);
  if (ec) return FailText("cannot put the salvage in place of '" + where + "': " + ec.message());
  for (const auto& [id, st] : lost)
    Printf("note %u could not be read: %s\n", static_cast<unsigned>(id), StatusText(st).c_str());
  Printf("%s: salvaged %zu of %zu notes into a new file; the damaged file is kept as %s",
         where.c_str(), saved, ids.size(), corrupt.c_str());
  if (!complete) Printf("; parts of it could not be read at all, so notes may be missing");
  Printf("\n");
  std::fprintf(stderr, "wqadmin: the salvage is partial: run 'wqadmin verify %s'\n",
               o.queue.c_str());
  return 1;
}

}  // namespace

int CmdRepair(const RepairOptions& o) {
  queue_handle_t q;
  if (!OpenQueue(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  Plan plan;
  STATUS err = Findings(q.dbhandle, &plan);
  if (err) {
    CloseQueue(o.queue, &q);
    return Fail("cannot check", where, err);
  }
  if (plan.belowDocuments && plan.indexesOnly && !o.dryRun) {
    // Indexes only: rebuilt in place, then checked again.
    DWORD rows = 0;
    err = QDSDbRebuildIndex(q.dbhandle, &rows);
    if (err) {
      CloseQueue(o.queue, &q);
      return Fail("cannot rebuild the indexes of", where, err);
    }
    for (const std::string& p : plan.pageProblems)
      Printf("index rebuilt for: %s\n", Printable(p).c_str());
    plan = Plan();
    err = Findings(q.dbhandle, &plan);
    if (err) {
      CloseQueue(o.queue, &q);
      return Fail("cannot check", where, err);
    }
  }
  if (plan.belowDocuments) return Salvage(o, &q, plan);
  err = MessageDamage(&q, &plan);
  if (err) {
    CloseQueue(o.queue, &q);
    return Fail("cannot check the messages of", where, err);
  }
  if (plan.move.empty() && !plan.rebuildIndex && !plan.orphanChunks) {
    CloseQueue(o.queue, &q);
    Printf("%s: nothing to repair\n", where.c_str());
    return FinishOutput();
  }
  const std::string side = where + ".damaged";
  if (o.dryRun) {
    for (const auto& [id, why] : plan.move)
      Printf("would move message %u to %s: %s\n", static_cast<unsigned>(id), side.c_str(),
             Printable(why).c_str());
    if (plan.rebuildIndex) Printf("would rebuild the search index\n");
    if (plan.orphanChunks) Printf("would drop chunks of objects that do not exist\n");
    CloseQueue(o.queue, &q);
    return FinishOutput();
  }

  DBHANDLE aside = 0;
  bool opened = false;
  if (!plan.move.empty()) {
    err = OpenSideQueue(q.dbhandle, o.queue, ".damaged", true, &aside, &opened);
    if (err) {
      CloseQueue(o.queue, &q);
      return Fail("cannot open", side, err);
    }
  }
  std::set<unsigned long long> before;
  if (opened && (err = AlreadyAside(aside, &before)) != NOERROR) {
    QDSDbClose(aside);
    CloseQueue(o.queue, &q);
    return Fail("cannot read", side, err);
  }
  // A damaged message may share its attachments with a sound copy of it.
  ObjectRefs refs;
  if (!plan.move.empty() && (err = refs.Load(q.dbhandle)) != NOERROR) {
    if (aside) QDSDbClose(aside);
    CloseQueue(o.queue, &q);
    return Fail("cannot read the attachments of", where, err);
  }
  int rc = 0;
  for (const auto& [id, why] : plan.move) {
    unsigned long long fp = 0;
    bool finish = QDSNoteFingerprint(q.dbhandle, id, &fp) == NOERROR && before.count(fp);
    NOTEID newId = 0;
    err = finish ? NOERROR
                 : QDSNoteCopyRaw(q.dbhandle, id, aside, 0, &newId, nullptr, 0, nullptr);
    if (!err) err = refs.Delete(q.dbhandle, id);
    if (err) {
      rc = Fail("cannot move message " + std::to_string(id) + " of", where, err);
      break;
    }
    if (finish) {
      Printf("message %u: already in %s (an interrupted move); removed from the queue\n",
             static_cast<unsigned>(id), side.c_str());
    } else {
      Printf("message %u moved to %s as note %u: %s\n", static_cast<unsigned>(id),
             side.c_str(), static_cast<unsigned>(newId), Printable(why).c_str());
    }
  }
  if (!rc && (plan.rebuildIndex || !plan.move.empty())) {
    DWORD rows = 0;
    err = QDSDbRebuildIndex(q.dbhandle, &rows);
    if (err) rc = Fail("cannot rebuild the search index of", where, err);
    else Printf("search index rebuilt: %u rows\n", static_cast<unsigned>(rows));
  }
  if (!rc && plan.orphanChunks) {
    DWORD rows = 0;
    err = QDSDbDropOrphanChunks(q.dbhandle, &rows);
    if (err) rc = Fail("cannot drop chunks of missing objects in", where, err);
    else Printf("dropped %u chunk rows of objects that do not exist\n", static_cast<unsigned>(rows));
  }
  if (aside) QDSDbClose(aside);
  // The queue must check clean now; anything left is named, and exit 1.
  if (!rc) {
    Plan after;
    err = Findings(q.dbhandle, &after);
    if (!err) err = MessageDamage(&q, &after);
    if (err) {
      rc = Fail("cannot check again", where, err);
    } else if (!after.move.empty() || after.rebuildIndex || after.belowDocuments) {
      for (const auto& [id, why] : after.move)
        Printf("message %u is still damaged: %s\n", static_cast<unsigned>(id),
               Printable(why).c_str());
      rc = FailText("'" + where + "' is not fully repaired");
    } else {
      Printf("%s: repaired; %zu message%s set aside in %s\n", where.c_str(), plan.move.size(),
             plan.move.size() == 1 ? "" : "s", side.c_str());
    }
  }
  CloseQueue(o.queue, &q);
  return rc;
}

}  // namespace wqadmin
