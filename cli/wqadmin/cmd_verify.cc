// wqadmin verify: checks every message of a queue against its stored
// format and names each damaged one with the reason.  Reads only; the
// exit code is 1 when anything is damaged, so scripts can gate a repair.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "output.h"
#include "progress.h"
#include "safe_text.h"
#include "wqhk/wqhk_verify.h"

namespace wqadmin {

int CmdVerify(const VerifyOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);

  // The ids first: then the bar knows how far there is to go.
  std::vector<NOTEID> ids;
  STATUS err = ForEachNote(&q, "", [&](NOTEID id) {
    ids.push_back(id);
    return true;
  });
  if (err != NOERROR) {
    CloseQueue(o.queue, &q);
    return Fail("cannot search queue", where, err);
  }

  std::vector<wq_verify_result_t> damaged;
  Progress progress("verifying", ids.size(), !o.quiet && Progress::Wanted());
  uint64_t checked = 0;
  NOTEID failedAt = 0;
  for (NOTEID id : ids) {
    wq_verify_result_t r;
    err = WQHKVerifyMsg(&q, id, &r);
    if (err == ERR_NOTE_NOT_FOUND || err == ERR_NOTE_DELETED) {
      err = NOERROR;  // removed since the search: nothing left to check
      continue;
    }
    if (err != NOERROR) {
      failedAt = id;
      break;
    }
    checked++;
    if (r.bDamaged) {
      damaged.push_back(r);
      if (!o.json) {
        progress.Finish();
        Printf("message %u: %s\n", static_cast<unsigned>(id),
               Printable(r.szReason).c_str());
      }
    }
    progress.Update(checked);
  }
  progress.Finish();
  CloseQueue(o.queue, &q);
  if (err != NOERROR)
    return Fail("cannot check message " + std::to_string(failedAt) + " of",
                where, err);

  if (o.json) {
    nlohmann::ordered_json j;
    SetText(j, "queue", where);
    j["checked"] = checked;
    j["damaged"] = damaged.size();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& r : damaged) {
      nlohmann::ordered_json e;
      e["note_id"] = r.noteId;
      SetText(e, "reason", r.szReason);
      list.push_back(e);
    }
    j["problems"] = list;
    Printf("%s\n", JsonDump(j, 2).c_str());
  } else {
    Printf("%s: %s message%s checked, %s damaged\n", Printable(where).c_str(),
                Grouped(checked).c_str(), checked == 1 ? "" : "s",
                Grouped(damaged.size()).c_str());
  }
  return damaged.empty() ? 0 : 1;
}

}  // namespace wqadmin
