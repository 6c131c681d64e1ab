// wqadmin verify: checks a queue at both levels and names everything it
// finds.  The store's own check first (SQLite's check of the pages, every
// document's header and summary values, the search index against the
// items, objects against their chunks), then every message against its
// stored format through the library.  Each finding names the note (or
// table, or object) and the cause; nothing stops the run early; the summary
// counts each kind.  Reads only; the exit code is 1 when anything is found,
// so scripts can gate a repair.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "output.h"
#include "progress.h"
#include "safe_text.h"
#include "tavlo/runtime.h"
#include "wqhk/wqhk_verify.h"

namespace wqadmin {

namespace {

struct Finding {
  std::string kind;  // "message", or the store's kind
  NOTEID note = 0;
  DWORD object = 0;
  std::string table;
  std::string reason;
};

const char* KindName(WORD kind) {
  switch (kind) {
    case DBCHECK_PAGES: return "pages";
    case DBCHECK_UNREADABLE: return "unreadable";
    case DBCHECK_NO_HEADER: return "no_header";
    case DBCHECK_BAD_HEADER: return "bad_header";
    case DBCHECK_BAD_SUMMARY: return "bad_summary";
    case DBCHECK_INDEX_MISSING: return "index_missing";
    case DBCHECK_INDEX_ORPHAN: return "index_orphan";
    case DBCHECK_ORPHAN_ITEMS: return "orphan_items";
    case DBCHECK_OBJECT: return "object";
    default: return "store";
  }
}

std::string Where(const Finding& f) {
  if (f.note) return (f.kind == "message" ? "message " : "note ") + std::to_string(f.note);
  if (f.object) return "object " + std::to_string(f.object);
  if (!f.table.empty()) return "table " + f.table;
  return "database";
}

}  // namespace

int CmdVerify(const VerifyOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  std::vector<Finding> findings;
  auto found = [&](Finding f) {
    if (!o.json) {
      Printf("%s: %s\n", Where(f).c_str(), Printable(f.reason).c_str());
    }
    findings.push_back(std::move(f));
  };

  // The store's check: the ground the messages stand on.
  struct StoreArg {
    const std::function<void(Finding)>* found;
  } storeArg{nullptr};
  std::function<void(Finding)> foundFn = found;
  storeArg.found = &foundFn;
  STATUS err = QDSDbCheck(
      q.dbhandle, o.full ? DBCHECK_FULL : 0,
      [](void* arg, const DBCHECK_FINDING* f) -> STATUS {
        Finding out;
        out.kind = KindName(f->Kind);
        out.note = f->NoteID;
        out.object = f->ObjectID;
        out.table = f->Table ? f->Table : "";
        out.reason = f->Text ? f->Text : "";
        (*static_cast<StoreArg*>(arg)->found)(std::move(out));
        return NOERROR;
      },
      &storeArg, nullptr);
  if (err != NOERROR) {
    CloseQueue(o.queue, &q);
    return Fail("cannot check the store of", where, err);
  }

  // The ids next, the undecodable ones included: then the bar knows how
  // far there is to go.
  std::vector<NOTEID> ids;
  err = ForEachNote(&q, "", [&](NOTEID id, bool) {
    ids.push_back(id);
    return true;
  });
  if (err != NOERROR) {
    char text[256];
    TavloStatusText(err, text, sizeof(text));
    found(Finding{"unreadable", 0, 0, "notes",
                  std::string("the walk over the messages stopped: ") + text +
                      "; the messages after note " +
                      (ids.empty() ? std::string("0") : std::to_string(ids.back())) +
                      " were not checked"});
  }

  Progress progress("verifying", ids.size(), !o.quiet && Progress::Wanted());
  uint64_t checked = 0, damagedMessages = 0;
  for (NOTEID id : ids) {
    wq_verify_result_t r;
    err = WQHKVerifyMsg(&q, id, &r);
    if (err == ERR_NOTE_NOT_FOUND || err == ERR_NOTE_DELETED) continue;  // gone since
    checked++;
    progress.Update(checked);
    if (err != NOERROR) {
      // A failure of the store reading this message (its pages, say):
      // named, and the run goes on with the next.
      char text[256];
      TavloStatusText(err, text, sizeof(text));
      progress.Finish();
      found(Finding{"message", id, 0, "", std::string("cannot be read: ") + text});
      damagedMessages++;
      continue;
    }
    if (r.bDamaged) {
      progress.Finish();
      found(Finding{"message", id, 0, "", r.szReason});
      damagedMessages++;
    }
  }
  progress.Finish();

  // A hold or release a crash interrupted leaves a message in both the
  // queue and its hold queue; the next hold or release settles it.
  const std::string hold = where + ".hold";
  std::error_code ec;
  DBHANDLE held = 0;
  if (std::filesystem::exists(hold, ec) && QDSDbOpenReadOnly(hold.c_str(), &held) == NOERROR) {
    std::map<std::string, NOTEID> mine, theirs;
    auto collect = [](void* arg, const ITEM_SCAN_DOC* d, const ITEM_VALUE*, WORD) -> STATUS {
      if (d->HeaderValid)
        (*static_cast<std::map<std::string, NOTEID>*>(arg))[MessageIdentity(d->OriginatorID)] =
            d->NoteID;
      return NOERROR;
    };
    if (QDSDbScanItems(q.dbhandle, NOTE_CLASS_DOCUMENT, nullptr, 0, collect, &mine) == NOERROR &&
        QDSDbScanItems(held, NOTE_CLASS_DOCUMENT, nullptr, 0, collect, &theirs) == NOERROR) {
      for (const auto& [oid, id] : mine) {
        auto it = theirs.find(oid);
        if (it == theirs.end()) continue;
        unsigned long long a = 0, b = 0;
        const bool same = QDSNoteFingerprint(q.dbhandle, id, &a) == NOERROR &&
                          QDSNoteFingerprint(held, it->second, &b) == NOERROR && a == b;
        found(Finding{"duplicate", id, 0, "",
                      "also in " + hold + " as note " + std::to_string(it->second) +
                          (same ? " (an interrupted hold or release: the next one settles it)"
                                : " and the two differ (changed since an interrupted hold or "
                                  "release): keep one, delete the other")});
      }
    }
    QDSDbClose(held);
  }
  CloseQueue(o.queue, &q);

  std::map<std::string, uint64_t> counts;
  for (const Finding& f : findings) counts[f.kind]++;
  if (o.json) {
    nlohmann::ordered_json j;
    SetText(j, "queue", where);
    j["checked"] = checked;
    j["damaged"] = damagedMessages;
    j["findings"] = findings.size();
    nlohmann::ordered_json byKind = nlohmann::ordered_json::object();
    for (const auto& [kind, n] : counts) byKind[kind] = n;
    j["by_kind"] = byKind;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Finding& f : findings) {
      nlohmann::ordered_json e;
      e["kind"] = f.kind;
      if (f.note) e["note_id"] = f.note;
      if (f.object) e["object_id"] = f.object;
      if (!f.table.empty()) e["table"] = f.table;
      SetText(e, "reason", f.reason);
      list.push_back(e);
    }
    j["problems"] = list;
    Printf("%s\n", JsonDump(j, 2).c_str());
  } else {
    std::string kinds;
    for (const auto& [kind, n] : counts)
      kinds += (kinds.empty() ? "" : ", ") + Grouped(n) + " " + kind;
    Printf("%s: %s message%s checked, %s damaged%s%s\n", Printable(where).c_str(),
           Grouped(checked).c_str(), checked == 1 ? "" : "s",
           Grouped(damagedMessages).c_str(), kinds.empty() ? "" : "; findings: ",
           kinds.c_str());
  }
  return findings.empty() ? 0 : 1;
}

}  // namespace wqadmin
