// wqadmin's actions on a stopped queue: requeue, hold, release, delete, and
// import (which puts exported messages back).
//
// Every action takes the writer lock (refused at once while the relay or
// rswq has the queue), opens the queue in bulk mode, walks a snapshot of
// the ids its selection's search matched and tests each message, so it
// ends however many matches fail the other tests.  --dry-run prints the
// rows list would print and changes nothing.  The status line and stop
// requests work as rswq's: Ctrl-C or `tavlo tell wqadmin quit` stops after
// the message in hand.
//
// Moves (hold, release) copy a message as stored into the other queue
// (every item unchanged, its objects along with their ids, the originator
// id kept) and then delete it: a crash in between leaves it in both queues,
// and the next hold or release finds the pair by its identity (the
// originator id without the sequence every save bumps) and, when the two
// are identical, attachments included, finishes the move the way it is
// going.  delete --export writes each message to a file of its own (a
// one-message queue database), closes it so that it stands alone, and
// only then deletes the message: a crash in between leaves it in both.
// A message's objects go with it only when no other message of the queue
// names them (a split copy shares its source's attachments).

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "admin.h"
#include "object_refs.h"
#include "output.h"
#include "progress.h"
#include "safe_text.h"
#include "side_queue.h"
#include "tavlo/runtime.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"

namespace wqadmin {

namespace {

struct Verb {
  const char* name;      // "requeue"
  const char* done;      // "requeued"
  const char* ing;       // for the status line
};
const Verb kVerbs[] = {{"requeue", "requeued", "ReQueueing"},
                       {"hold", "held", "Holding"},
                       {"release", "released", "Releasing"},
                       {"delete", "deleted", "Deleting"}};

// Message identity -> note id.
using OidMap = std::map<std::string, NOTEID>;

// The identity of every document of a database whose header decodes.
STATUS Oids(DBHANDLE db, OidMap* out) {
  return QDSDbScanItems(
      db, NOTE_CLASS_DOCUMENT, nullptr, 0,
      [](void* arg, const ITEM_SCAN_DOC* doc, const ITEM_VALUE*, WORD) -> STATUS {
        if (doc->HeaderValid)
          (*static_cast<OidMap*>(arg))[MessageIdentity(doc->OriginatorID)] = doc->NoteID;
        return NOERROR;
      },
      out);
}

// A move a crash interrupted leaves a message in both queues.  Where the
// two copies are identical, the one in `from` goes: the move finishes the
// way this command is moving.  Copies that differ are both kept and named.
// Returns the number of conflicts (and any failure in *err).
int SettleInterruptedMoves(DBHANDLE from, DBHANDLE to, ObjectRefs* fromRefs,
                           const std::string& fromName, const std::string& toName,
                           STATUS* err) {
  OidMap a, b;
  *err = Oids(from, &a);
  if (!*err) *err = Oids(to, &b);
  if (*err) return 0;
  int conflicts = 0;
  for (const auto& [oid, id] : a) {
    auto it = b.find(oid);
    if (it == b.end()) continue;
    unsigned long long x = 0, y = 0;
    if (QDSNoteFingerprint(from, id, &x) == NOERROR &&
        QDSNoteFingerprint(to, it->second, &y) == NOERROR && x == y) {
      *err = fromRefs->Delete(from, id);
      if (*err) return conflicts;
      Printf("message %u of %s was also in %s as note %u (an interrupted move): "
             "kept there only\n",
             static_cast<unsigned>(id), fromName.c_str(), toName.c_str(),
             static_cast<unsigned>(it->second));
    } else {
      conflicts++;
      std::fprintf(stderr,
                   "wqadmin: message %u of %s and note %u of %s are one message that "
                   "differs between them; both are kept: look at both with 'wqadmin "
                   "show' and delete one\n",
                   static_cast<unsigned>(id), fromName.c_str(),
                   static_cast<unsigned>(it->second), toName.c_str());
    }
  }
  return conflicts;
}

// Whether `file` already holds message `id` of `db` as it is now.
bool HoldsMessage(DBHANDLE file, DBHANDLE db, NOTEID id) {
  unsigned long long a = 0, b = 0;
  return QDSNoteFingerprint(file, id, &a) == NOERROR && QDSNoteFingerprint(db, id, &b) == NOERROR &&
         a == b;
}

bool HoldsNothing(DBHANDLE file) {
  bool any = false;
  (void)QDSDbForEachNoteId(
      file,
      [](void* a, NOTEID) -> STATUS {
        *static_cast<bool*>(a) = true;
        return ERR_BAD_ARG;  // one is enough
      },
      &any, nullptr);
  return !any;
}

// Writes message `id` to its own file in `dir`: a one-message queue
// database, which `wqadmin import` reads (and list, show, cat, extract too).
// The file is "<base>-<id>.qmsg", or "<base>-<id>-<n>.qmsg" when that name
// holds something else (the same message id of another queue of that
// name, or an older state): an existing file is never overwritten.  A file
// an interrupted run left is taken as it is when it holds this message as
// it is now, and filled when it holds nothing.  Returns only once the file
// stands alone (closed cleanly, no WAL of its own beside it), so the
// caller may delete the message.
STATUS ExportMessage(DBHANDLE db, NOTEID id, const std::string& dir, const std::string& base,
                     std::string* file) {
  WORD cls = 0;
  STATUS st = QDSDbGetClass(db, &cls);
  if (st) return st;
  for (int n = 1; n < 1000; n++) {
    *file = dir + "/" + base + "-" + std::to_string(id) + (n > 1 ? "-" + std::to_string(n) : "") +
            ".qmsg";
    std::error_code ec;
    const bool there = std::filesystem::exists(*file, ec);
    if (ec) return ERR_DB_IO;
    if (!there) {
      st = QDSDbCreate(file->c_str(), cls, FALSE);
      if (st == ERR_DB_EXISTS) continue;  // made meanwhile: not ours
      if (st) return st;
    }
    // Opened for writing, so that what a killed run left in its WAL is
    // finished into the file when this close ends the session.
    DBHANDLE out = 0;
    st = QDSDbOpenBulk(file->c_str(), &out);
    if (there && st) continue;  // not ours to repair: another name
    if (st) return st;
    bool fill = !there;
    if (there && !HoldsMessage(out, db, id)) {
      fill = HoldsNothing(out);
      if (!fill) {
        QDSDbClose(out);
        continue;
      }
    }
    if (fill) st = QDSNoteCopyRaw(db, id, out, RAWCOPY_KEEP_NOTEID, nullptr, nullptr, 0, nullptr);
    STATUS cst = QDSDbClose(out);
    if (!st) st = cst;
    BOOL alone = FALSE;
    if (!st) st = QDSDbIsSelfContained(file->c_str(), &alone);
    if (!st && !alone) st = ERR_DB_BUSY;  // someone has it open: it keeps a WAL
    return st;
  }
  return ERR_DB_EXISTS;
}

bool Confirm(const std::string& question) {
  if (!isatty(STDIN_FILENO)) return false;
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int CmdAction(ActionKind kind, const ActionOptions& o) {
  const Verb& verb = kVerbs[static_cast<int>(kind)];
  Selection sel;
  std::string why;
  if (!sel.Resolve(o.sel, &why)) {
    std::fprintf(stderr, "wqadmin: %s: %s\n", verb.name, why.c_str());
    return 2;
  }
  if (!sel.Formula().empty() && !ExplainFormula(sel.Formula())) return 2;
  // A release works on the held messages: its selection is of QUEUE.hold.
  const bool release = kind == ActionKind::kRelease;
  const std::string source = release ? o.queue + ".hold" : o.queue;
  const std::string where = ResolvedPath(source);

  if (o.dryRun) {
    queue_handle_t q;
    if (!OpenQueueReadOnly(source, &q)) return 1;
    RowPrinter printer(o.json);
    STATUS readErr = NOERROR;
    STATUS err = WalkSelected(&q, sel, [&](NOTEID id, bool undecodable) {
      if (undecodable) return true;  // an action cannot take it either
      MessageRow r;
      readErr = ReadMessageRow(&q, id, &r);
      if (readErr != NOERROR) return false;
      printer.Row(r);
      return !OutputFailed();
    });
    printer.Finish(true);
    CloseQueue(source, &q);
    if (readErr) return Fail("cannot read a message of", where, readErr);
    if (err) return Fail("cannot search", where, err);
    if (!o.json)
      Printf("%s: %s message%s would be %s (%s)\n", where.c_str(),
             Grouped(printer.rows()).c_str(), printer.rows() == 1 ? "" : "s", verb.done,
             sel.Describe().c_str());
    return 0;
  }

  if (kind == ActionKind::kDelete && !o.yes &&
      !Confirm("Delete the messages of " + where + " that are " + sel.Describe() + "?")) {
    std::fprintf(stderr, "wqadmin: delete: not confirmed; give --yes (or answer y on a "
                         "terminal) to delete\n");
    return 2;
  }
  if (!o.exportDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o.exportDir, ec);
    if (ec) return FailText("cannot make the export directory '" + o.exportDir + "': " + ec.message());
  }

  queue_handle_t q;
  if (!OpenQueueBulk(source, &q)) return 1;
  ObjectRefs refs;
  DBHANDLE other = 0;
  bool opened = false;
  const std::string otherName = release ? ResolvedPath(o.queue) : where + ".hold";
  if (kind == ActionKind::kHold || release) {
    STATUS err = release ? QDSDbOpenBulk(otherName.c_str(), &other)
                         : OpenSideQueue(q.dbhandle, o.queue, ".hold", true, &other, &opened);
    if (err) {
      CloseQueue(source, &q);
      return Fail("cannot open", otherName, err);
    }
    err = refs.Load(q.dbhandle);
    int conflicts =
        err ? 0 : SettleInterruptedMoves(q.dbhandle, other, &refs, where, otherName, &err);
    if (err) {
      QDSDbClose(other);
      CloseQueue(source, &q);
      return Fail("cannot compare with", otherName, err);
    }
    if (conflicts) {
      QDSDbClose(other);
      CloseQueue(source, &q);
      return FailText(std::to_string(conflicts) + " message" + (conflicts == 1 ? "" : "s") +
                      " in both queues differ; nothing was moved");
    }
  }

  std::vector<NOTEID> ids;
  STATUS err = kind == ActionKind::kDelete ? refs.Load(q.dbhandle) : NOERROR;
  if (!err) err = CandidateIds(&q, sel, &ids);
  if (err) {
    if (other) QDSDbClose(other);
    CloseQueue(source, &q);
    return Fail("cannot search", where, err);
  }

  // The status line and stop requests of an add-in task, as rswq has them.
  char name[] = "wqadmin";
  char* argv[] = {name, nullptr};
  AddInSDKInit(1, argv);
  Progress progress(verb.ing, ids.size(), !o.quiet && Progress::Wanted());
  uint64_t done = 0, failed = 0, seen = 0;
  bool stopped = false;
  const std::string base = std::filesystem::path(o.queue).filename().string();
  for (NOTEID id : ids) {
    if (AddInIdle()) {
      stopped = true;
      break;
    }
    progress.Update(++seen);
    msg_handle_t m;
    err = WQSOpenMsgByMsgID(&q, id, &m);
    if (err == ERR_NOTE_NOT_FOUND || err == ERR_NOTE_DELETED) continue;
    if (err != NOERROR) {
      // Damaged: an action cannot take it (repair can).
      progress.Finish();
      std::fprintf(stderr, "wqadmin: message %u: %s (left as it is)\n",
                   static_cast<unsigned>(id), StatusText(err).c_str());
      failed++;
      continue;
    }
    if (sel.TestsMessage() && !sel.Matches(&m)) {
      (void)WQSCloseMsg(&m);
      continue;
    }
    std::string what;
    switch (kind) {
      case ActionKind::kRequeue:
        err = WQInbReconvertOneMsg(&m);
        if (!err) err = WQSCloseMsgAndUpdate(&m);
        else (void)WQSCloseMsg(&m);
        break;
      case ActionKind::kHold:
      case ActionKind::kRelease: {
        (void)WQSCloseMsg(&m);
        NOTEID to = 0;
        err = QDSNoteCopyRaw(q.dbhandle, id, other, RAWCOPY_KEEP_OBJECT_IDS, &to, nullptr, 0,
                             nullptr);
        if (err == ERR_DB_EXISTS) {
          what = "its attachments' object ids are taken in " + otherName;
        } else if (!err) {
          err = refs.Delete(q.dbhandle, id);
        }
        break;
      }
      case ActionKind::kDelete: {
        (void)WQSCloseMsg(&m);
        std::string file;
        if (!o.exportDir.empty()) err = ExportMessage(q.dbhandle, id, o.exportDir, base, &file);
        if (err) {
          what = "cannot export it to " + (file.empty() ? o.exportDir : file);
          break;
        }
        // The document and the objects only it names, in one transaction.
        err = refs.Delete(q.dbhandle, id);
        break;
      }
    }
    if (err) {
      progress.Finish();
      std::fprintf(stderr, "wqadmin: message %u: %s%s%s\n", static_cast<unsigned>(id),
                   what.c_str(), what.empty() ? "" : ": ", StatusText(err).c_str());
      failed++;
      if (err == ERR_DISK_FULL || err == ERR_DB_IO) break;  // the rest would fail alike
      continue;
    }
    done++;
    AddInSetStatusText("%s Message: %lu", verb.ing, static_cast<unsigned long>(done));
  }
  progress.Finish();
  STATUS cerr = NOERROR;
  if (other) cerr = QDSDbClose(other);
  CloseQueue(source, &q);
  AddInSDKTerm(NOERROR);
  Printf("%s: %s message%s %s%s%s (%s)%s\n", where.c_str(), Grouped(done).c_str(),
         done == 1 ? "" : "s", verb.done,
         kind == ActionKind::kHold ? " into " : kind == ActionKind::kRelease ? " into " : "",
         kind == ActionKind::kHold || release ? otherName.c_str() : "",
         sel.Describe().c_str(),
         failed ? (", " + Grouped(failed) + " failed").c_str() : stopped ? ", stopped" : "");
  if (cerr) return Fail("cannot close", otherName, cerr);
  return failed ? 1 : 0;
}

int CmdImport(const ImportOptions& o) {
  queue_handle_t q;
  if (!OpenQueueBulk(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  OidMap present;
  STATUS err = Oids(q.dbhandle, &present);
  if (err) {
    CloseQueue(o.queue, &q);
    return Fail("cannot read", where, err);
  }
  uint64_t imported = 0, failed = 0;
  for (const std::string& file : o.files) {
    DBHANDLE in = 0;
    err = QDSDbOpenReadOnly(file.c_str(), &in);
    if (err) {
      Fail("cannot open", file, err);
      failed++;
      continue;
    }
    OidMap theirs;
    err = Oids(in, &theirs);
    if (err) {
      Fail("cannot read", file, err);
      failed++;
      QDSDbClose(in);
      continue;
    }
    for (const auto& [oid, id] : theirs) {
      if (present.count(oid)) {
        Printf("%s: message %u is in the queue already (note %u); not imported again\n",
               file.c_str(), static_cast<unsigned>(id), static_cast<unsigned>(present[oid]));
        continue;
      }
      NOTEID newId = 0;
      err = QDSNoteCopyRaw(in, id, q.dbhandle, RAWCOPY_KEEP_OBJECT_IDS, &newId, nullptr, 0,
                           nullptr);
      if (err == ERR_DB_EXISTS) {
        FailText(file + ": message " + std::to_string(id) +
                 " cannot be imported: the queue has other objects under its attachments' "
                 "ids");
        failed++;
        continue;
      }
      if (err) {
        Fail("cannot import message " + std::to_string(id) + " of", file, err);
        failed++;
        continue;
      }
      present[oid] = newId;
      imported++;
      Printf("%s: message %u imported as note %u\n", file.c_str(), static_cast<unsigned>(id),
             static_cast<unsigned>(newId));
    }
    QDSDbClose(in);
  }
  CloseQueue(o.queue, &q);
  Printf("%s: %s message%s imported%s\n", where.c_str(), Grouped(imported).c_str(),
         imported == 1 ? "" : "s", failed ? (", " + Grouped(failed) + " failed").c_str() : "");
  return failed ? 1 : 0;
}

}  // namespace wqadmin
