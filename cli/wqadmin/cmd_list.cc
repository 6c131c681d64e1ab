// wqadmin list: one line per message, in note-ID order, read through the
// library as the relay would.  Rows are printed as the search finds them,
// so a queue of a million messages lists in constant memory.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "progress.h"

namespace wqadmin {

namespace {

// The selection: the statuses asked for, or-ed, and-ed with the caller's
// own formula.  Empty: every document.
std::string Selection(const ListOptions& o) {
  std::string statuses;
  for (uint32_t s : o.statuses) {
    if (!statuses.empty()) statuses += " | ";
    statuses += "(WQMsgStatus = " + std::to_string(s) + ")";
  }
  if (o.formula.empty()) return statuses;
  if (statuses.empty()) return o.formula;
  return "(" + o.formula + ") & (" + statuses + ")";
}

std::string StatusCell(const MessageRow& r) {
  if (!r.hasStatus) return "-";
  std::string cell = std::to_string(r.status);
  const char* name = StatusName(r.status);
  if (*name) cell += std::string(" ") + name;
  return cell;
}

nlohmann::ordered_json RowJson(const MessageRow& r) {
  nlohmann::ordered_json e;
  e["note_id"] = r.id;
  if (r.damaged) {
    e["damaged"] = r.problem;
    return e;
  }
  if (r.hasStatus)
    e["status"] = r.status;
  else
    e["status"] = nullptr;
  e["type"] = r.type;
  e["recipients"] = r.recipients;
  e["retries_left"] = r.retries;
  std::string next = IsoTime(r.nextRetry);
  if (next.empty())
    e["next_retry"] = nullptr;
  else
    e["next_retry"] = next;
  e["error"] = r.error;
  e["first_recipient"] = r.firstRecipient;
  e["error_text"] = r.errorText;
  e["attachments"] = r.attachments;
  return e;
}

void PrintHeader() {
  std::printf("%8s  %-18s %4s %5s %5s  %-25s %5s  %-28s %s\n", "NOTEID",
              "STATUS", "TYPE", "RCPTS", "RETRY", "NEXT RETRY", "ERROR",
              "FIRST RECIPIENT", "ERROR TEXT");
}

void PrintRow(const MessageRow& r, int columns) {
  std::string line;
  char buf[256];
  if (r.damaged) {
    std::snprintf(buf, sizeof(buf), "%8u  damaged: ", static_cast<unsigned>(r.id));
    line = buf + r.problem;
  } else {
    std::string next = IsoTime(r.nextRetry);
    std::string first = r.firstRecipient;
    if (first.size() > 28) {
      first.resize(27);
      first.push_back('~');
    }
    std::snprintf(buf, sizeof(buf), "%8u  %-18s %4s %5u %5u  %-25s %5u  %-28s ",
                  static_cast<unsigned>(r.id), StatusCell(r).c_str(),
                  r.type == WQS_MSG_SIMPLE ? "smp" : "ext",
                  static_cast<unsigned>(r.recipients),
                  static_cast<unsigned>(r.retries),
                  next.empty() ? "-" : next.c_str(),
                  static_cast<unsigned>(r.error), first.c_str());
    line = buf;
    // One line per message, whatever the stored text holds.
    for (char c : r.errorText) line.push_back(c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (columns > 0 && line.size() > static_cast<size_t>(columns))
    line.resize(columns);
  std::printf("%s\n", line.c_str());
}

}  // namespace

int CmdList(const ListOptions& o) {
  // A formula that does not compile is a usage error: say so before
  // anything is opened or printed.
  const std::string selection = Selection(o);
  if (!o.formula.empty()) {
    STATUS err = CheckFormula(o.formula);
    if (err != NOERROR) {
      Fail("invalid --formula", o.formula, err);
      return 2;
    }
  }
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  const int columns = OutputColumns();
  // Rows going to the terminal are progress enough; the bar is for output
  // sent to a file or a pipe.
  Progress progress("listing", 0, Progress::Wanted() && !isatty(STDOUT_FILENO));

  uint64_t shown = 0;
  bool more = false;
  STATUS readErr = NOERROR;
  STATUS err = ForEachNote(&q, selection, [&](NOTEID id) {
    if (o.limit != 0 && shown >= o.limit) {
      more = true;
      return false;
    }
    MessageRow r;
    readErr = ReadMessageRow(&q, id, &r);
    if (readErr != NOERROR) return false;
    if (o.json) {
      std::printf("%s\n%s", shown == 0 ? "[" : ",", RowJson(r).dump().c_str());
    } else {
      if (shown == 0) PrintHeader();
      PrintRow(r, columns);
    }
    shown++;
    progress.Update(shown);
    return true;
  });
  progress.Finish();
  if (o.json) std::printf(shown == 0 ? "[]\n" : "\n]\n");
  else if (shown == 0 && err == NOERROR && readErr == NOERROR)
    std::printf("no messages\n");
  CloseQueue(o.queue, &q);
  if (readErr != NOERROR)
    return Fail("cannot read a message of", where, readErr);
  if (err != NOERROR) return Fail("cannot search queue", where, err);
  if (!o.json && more)
    std::printf("(first %u shown; --limit 0 lists all)\n", o.limit);
  return 0;
}

}  // namespace wqadmin
