// wqadmin list: one line per message, in note-ID order, read through the
// library as the relay would.  Rows are printed as the search finds them,
// so a queue of a million messages lists in constant memory.
#include <unistd.h>

#include <array>
#include <functional>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "output.h"
#include "progress.h"
#include "reports.h"
#include "safe_text.h"
#include "selection.h"
#include "wqhk/wqhk_verify.h"

namespace wqadmin {

namespace {

std::string StatusCell(const MessageRow& r) {
  if (!r.hasStatus) return "-";
  std::string cell = std::to_string(r.status);
  const char* name = StatusName(r.status);
  if (*name) cell += std::string(" ") + name;
  return cell;
}

// The table's columns.  On a narrow terminal the optional ones go, in
// this order, before the error text gets narrower than kMinErrorText: the
// operator needs to know which message (note id), where it stands
// (status), for whom (first recipient) and why (error text).
enum Col { kId, kStatus, kType, kRcpts, kRetry, kNext, kError, kFirst, kText, kNumCols };
struct Column {
  const char* head;
  size_t width;  // 0: the rest of the line
  size_t gap;    // blanks before it
  bool right;
};
constexpr Column kColumns[kNumCols] = {
    {"NOTEID", 8, 0, true},      {"STATUS", 18, 2, false},
    {"TYPE", 4, 1, true},        {"RCPTS", 5, 1, true},
    {"RETRY", 5, 1, true},       {"NEXT RETRY", 25, 2, false},
    {"ERROR", 5, 1, true},       {"FIRST RECIPIENT", 28, 2, false},
    {"ERROR TEXT", 0, 1, false}};
constexpr Col kDropOrder[] = {kNext, kType, kRcpts, kRetry, kError};
constexpr size_t kMinErrorText = 20;

using Shown = std::array<bool, kNumCols>;

Shown ColumnsFor(int columns) {
  Shown shown;
  shown.fill(true);
  if (columns <= 0) return shown;
  auto fixed = [&] {
    size_t w = 0;
    for (int c = 0; c < kText; c++)
      if (shown[c]) w += kColumns[c].gap + kColumns[c].width;
    return w + kColumns[kText].gap;
  };
  for (Col c : kDropOrder)
    if (fixed() + kMinErrorText > static_cast<size_t>(columns)) shown[c] = false;
  return shown;
}

// One line from printable cells: padded, cut where a cell is too wide
// (marked with ~), then the whole line cut to the width.
void PrintLine(const std::array<std::string, kNumCols>& cells,
               const Shown& shown, int columns) {
  std::string line;
  for (int c = 0; c < kNumCols; c++) {
    if (!shown[c]) continue;
    const Column& col = kColumns[c];
    line.append(col.gap, ' ');
    std::string cell = cells[c];
    size_t w = Columns(cell);
    if (col.width > 0 && w > col.width) {
      cell = std::string(Cut(cell, col.width - 1)) + "~";
      w = col.width;
    }
    size_t pad = col.width > w ? col.width - w : 0;
    if (col.right) line.append(pad, ' ');
    line += cell;
    if (!col.right && c != kText) line.append(pad, ' ');
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (columns > 0) line = std::string(Cut(line, static_cast<size_t>(columns)));
  Printf("%s\n", line.c_str());
}

void PrintHeader(const Shown& shown, int columns) {
  std::array<std::string, kNumCols> cells;
  for (int c = 0; c < kNumCols; c++) cells[c] = kColumns[c].head;
  PrintLine(cells, shown, columns);
}

void PrintRow(const MessageRow& r, const Shown& shown, int columns) {
  if (r.damaged) {
    std::string line = std::to_string(r.id);
    line.insert(0, line.size() < 8 ? 8 - line.size() : 0, ' ');
    line += "  damaged: " + Printable(r.problem);
    if (columns > 0) line = std::string(Cut(line, static_cast<size_t>(columns)));
    Printf("%s\n", line.c_str());
    return;
  }
  std::string next = IsoTime(r.nextRetry);
  std::array<std::string, kNumCols> cells = {
      std::to_string(r.id),
      StatusCell(r),
      r.type == WQS_MSG_SIMPLE ? "smp" : "ext",
      std::to_string(r.recipients),
      std::to_string(r.retries),
      next.empty() ? "-" : next,
      std::to_string(r.error),
      Printable(r.firstRecipient),
      Printable(r.errorText)};
  PrintLine(cells, shown, columns);
}

}  // namespace

nlohmann::ordered_json MessageRowJson(const MessageRow& r) {
  nlohmann::ordered_json e;
  e["note_id"] = r.id;
  if (r.damaged) {
    SetText(e, "damaged", r.problem);
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
  SetText(e, "first_recipient", r.firstRecipient);
  SetText(e, "error_text", r.errorText);
  e["attachments"] = r.attachments;
  return e;
}

RowPrinter::RowPrinter(bool json) : json_(json) {
  columns_ = OutputColumns();
  shown_ = new Shown(ColumnsFor(columns_));
}

RowPrinter::~RowPrinter() { delete static_cast<Shown*>(shown_); }

void RowPrinter::Row(const MessageRow& r) {
  if (json_) {
    Printf("%s\n%s", rows_ == 0 ? "[" : ",", JsonDump(MessageRowJson(r)).c_str());
  } else {
    if (rows_ == 0) PrintHeader(*static_cast<Shown*>(shown_), columns_);
    PrintRow(r, *static_cast<Shown*>(shown_), columns_);
  }
  rows_++;
}

void RowPrinter::Finish(bool quietWhenEmpty) {
  if (json_) Printf(rows_ == 0 ? "[]\n" : "\n]\n");
  else if (rows_ == 0 && !quietWhenEmpty) Printf("no messages\n");
}

STATUS WalkSelected(queue_handle_t* q, const Selection& sel,
                    const std::function<bool(NOTEID, bool undecodable)>& fn) {
  STATUS testErr = NOERROR;
  STATUS err = ForEachNote(q, sel.Formula(), [&](NOTEID id, bool undecodable) {
    if (!sel.TakesId(id)) return true;
    if (sel.TestsMessage()) {
      if (undecodable) return true;  // no test can be made on it
      msg_handle_t m;
      STATUS st = WQSOpenMsgByMsgID(q, id, &m);
      if (st != NOERROR) {
        if (WQHKIsMessageDamage(st)) return true;
        testErr = st;
        return false;
      }
      const bool take = sel.Matches(&m);
      (void)WQSCloseMsg(&m);
      if (!take) return true;
    }
    return fn(id, undecodable);
  }, sel.After());
  return testErr != NOERROR ? testErr : err;
}

STATUS ListRows(queue_handle_t* q, const Selection& sel, uint32_t limit,
                const std::function<bool(const MessageRow&)>& fn, bool* more,
                bool* readFailed) {
  uint64_t listed = 0;
  *more = false;
  STATUS readErr = NOERROR;
  STATUS err = WalkSelected(q, sel, [&](NOTEID id, bool undecodable) {
    if (limit != 0 && listed >= limit) {
      *more = true;
      return false;
    }
    MessageRow r;
    readErr = ReadMessageRow(q, id, &r);
    if (readErr != NOERROR) return false;
    if (undecodable) {
      r = MessageRow();
      r.id = id;
      r.damaged = true;
      r.problem = kUndecodable;
    }
    listed++;
    return fn(r);
  });
  if (readFailed != nullptr) *readFailed = readErr != NOERROR;
  return readErr != NOERROR ? readErr : err;
}

int CmdList(const ListOptions& o) {
  // A formula that does not compile is a usage error: say so before
  // anything is opened or printed.
  Selection sel;
  std::string why;
  if (!sel.Resolve(o.sel, &why)) {
    std::fprintf(stderr, "wqadmin: list: %s\n", why.c_str());
    return 2;
  }
  sel.SetAfter(o.after);
  if (!sel.Formula().empty() && !ExplainFormula(sel.Formula())) return 2;
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  WarnUnknownItems(&q, where, sel.Formula());
  // Rows going to the terminal are progress enough; the bar is for output
  // sent to a file or a pipe.
  Progress progress("listing", 0,
                    !o.quiet && Progress::Wanted() && !isatty(STDOUT_FILENO));
  RowPrinter printer(o.json);
  uint64_t listed = 0;
  bool more = false, readFailed = false;
  STATUS err = ListRows(&q, sel, o.limit, [&](const MessageRow& r) {
    // Nothing more can reach the reader: stop rather than walk the rest
    // of a large queue for nobody.
    if (OutputFailed()) return false;
    printer.Row(r);
    progress.Update(++listed);
    return true;
  }, &more, &readFailed);
  progress.Finish();
  printer.Finish(err != NOERROR);
  CloseQueue(o.queue, &q);
  if (err != NOERROR)
    return Fail(readFailed ? "cannot read a message of" : "cannot search queue", where, err);
  if (!o.json && more)
    Printf("(first %u shown; --limit 0 lists all)\n", o.limit);
  return 0;
}

}  // namespace wqadmin
