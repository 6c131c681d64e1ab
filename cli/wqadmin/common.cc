// Shared pieces of wqadmin: status meanings, error reporting, queue and
// message open, formula checks and the summary scan.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/ioctl.h>
#include <unistd.h>

#include <ctime>

#include "admin.h"
#include "safe_text.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqhk/wqhk.h"
#include "wqhk/wqhk_verify.h"

namespace wqadmin {

const std::vector<StatusMeaning>& KnownStatuses() {
  // The relay's life cycle as seen from the queue: 6 is the only state in
  // which it picks a message up; the four failure states are what the
  // reset tool puts back to 6.
  static const std::vector<StatusMeaning> kStatuses = {
      {6, "queued", "queued: waiting to be processed by the MAILHUB"},
      {7, "deferred", "deferred: temporary failure, retries exhausted"},
      {9, "transfer failed", "transfer failed: next hop unreachable"},
      {10, "routing failed", "routing failed: no route for some recipients"},
      {11, "rejected", "rejected: permanent failure reported by the next hop"},
  };
  return kStatuses;
}

const char* StatusName(DWORD status) {
  for (const auto& s : KnownStatuses())
    if (s.status == status) return s.name;
  return "";
}

bool IsFailedStatus(DWORD status) {
  return status == 11 || status == 9 || status == 10 || status == 7;
}

std::string StatusText(STATUS status) {
  char text[256];
  TavloStatusText(status, text, sizeof(text));
  return text;
}

int Fail(const std::string& what, const std::string& file, STATUS status) {
  char text[256];
  TavloStatusText(status, text, sizeof(text));
  std::fprintf(stderr, "wqadmin: %s '%s': %s (STATUS %u)\n", what.c_str(),
               file.c_str(), text, static_cast<unsigned>(status));
  // Causes the store explains in words (a path too long for SQLite, an
  // unusable file beside the queue, a setting it does not know).
  if (status == ERR_DB_PATH || status == ERR_DB_SIDECAR || status == ERR_SETTING) {
    const char* detail = QDSDbLastDetail();
    if (detail != nullptr && *detail) std::fprintf(stderr, "wqadmin: %s\n", detail);
  }
  return 1;
}

int FailText(const std::string& message) {
  std::fprintf(stderr, "wqadmin: %s\n", message.c_str());
  return 1;
}

std::string ResolvedPath(const std::string& queue) {
  std::filesystem::path p(queue);
  if (p.is_absolute()) return queue;
  return (std::filesystem::path(TavloDataDirectory()) / p).string();
}

namespace {

enum class OpenMode { kRead, kWrite, kBulk };

bool OpenWith(const std::string& queue, queue_handle_t* q, OpenMode mode) {
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof(qd));
  if (queue.size() >= sizeof(qd.szQueueName)) {
    FailText("queue path too long: '" + queue + "'");
    return false;
  }
  std::memcpy(qd.szQueueName, queue.c_str(), queue.size() + 1);
  STATUS err = mode == OpenMode::kRead   ? WQSOpenQueueReadOnly(&qd, q)
               : mode == OpenMode::kBulk ? WQSOpenQueueForBulkWrite(&qd, q)
                                         : WQSOpenQueueForWrite(&qd, FALSE, q);
  if (err != NOERROR) {
    Fail("cannot open queue", ResolvedPath(queue), err);
    if (err == ERR_DB_UNCLEAN) {
      const char* detail = WQSLastQueueDetail();
      if (detail != nullptr && *detail) std::fprintf(stderr, "wqadmin: %s\n", detail);
      std::fprintf(stderr, "wqadmin: see 'wqadmin recover --help'\n");
    }
    return false;
  }
  return true;
}

}  // namespace

bool OpenQueue(const std::string& queue, queue_handle_t* q) {
  return OpenWith(queue, q, OpenMode::kWrite);
}

bool OpenQueueBulk(const std::string& queue, queue_handle_t* q) {
  return OpenWith(queue, q, OpenMode::kBulk);
}

// Read-only: works while rswq or the relay writes the queue, and never
// keeps them from opening it.
bool OpenQueueReadOnly(const std::string& queue, queue_handle_t* q) {
  return OpenWith(queue, q, OpenMode::kRead);
}

void CloseQueue(const std::string& queue, queue_handle_t* q) {
  STATUS err = WQSCloseQueueForWrite(q);
  if (err != NOERROR) Fail("cannot close queue", ResolvedPath(queue), err);
}

namespace {

// What the search callback returns to stop a walk the caller ended.  Any
// nonzero code stops the search; the walk remembers that it asked, so the
// code itself is never reported.
constexpr STATUS kWalkStopped = ERR_BAD_ARG;

struct WalkState {
  const NoteFn* fn;
  bool stopped = false;
};

STATUS WalkCallback(void* arg, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto* st = static_cast<WalkState*>(arg);
  const bool damaged = (match->SERetFlags & SE_FDAMAGED) != 0;
  if ((match->SERetFlags & SE_FMATCH) == 0 && !damaged) return NOERROR;
  if (!(*st->fn)(match->ID.NoteID, damaged)) {
    st->stopped = true;
    return kWalkStopped;
  }
  return NOERROR;
}

}  // namespace

namespace {

STATUS CompileFormula(const std::string& formula, FORMULAHANDLE* h) {
  *h = NULLHANDLE;
  if (formula.size() > 0xFFFF) return ERR_FORMULA_TOO_BIG;
  WORD len = 0;
  return QDSFormulaCompile(nullptr, 0, formula.c_str(),
                           static_cast<WORD>(formula.size()), h, &len, nullptr,
                           nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

bool ExplainFormula(const std::string& formula) {
  if (formula.size() > 0xFFFF) {
    FailText("bad formula: longer than 65535 bytes");
    return false;
  }
  char message[256];
  WORD line = 0, column = 0, offset = 0, length = 0;
  STATUS err = QDSFormulaErrorText(formula.data(),
                                   static_cast<WORD>(formula.size()), message,
                                   sizeof(message), &line, &column, &offset,
                                   &length);
  if (err == NOERROR) return true;
  if (message[0] == '\0') {  // not the parser's: memory, say
    Fail("cannot compile formula", formula, err);
    return false;
  }
  std::fprintf(stderr, "wqadmin: bad formula: %s at line %u, column %u\n",
               Printable(message).c_str(), static_cast<unsigned>(line),
               static_cast<unsigned>(column));
  // The faulty line, and a caret under the token.  Printable() may widen
  // what comes before it (\xNN), so the caret is placed by the columns of
  // the printed prefix, not by the byte offset.
  size_t at = std::min<size_t>(offset, formula.size());
  size_t nl = at == 0 ? std::string::npos : formula.rfind('\n', at - 1);
  size_t begin = nl == std::string::npos ? 0 : nl + 1;
  size_t end = formula.find('\n', at);
  if (end == std::string::npos) end = formula.size();
  std::string_view text(formula);
  std::string before = Printable(text.substr(begin, at - begin));
  std::fprintf(stderr, "  %s\n  %*s^\n",
               Printable(text.substr(begin, end - begin)).c_str(),
               static_cast<int>(Columns(before)), "");
  return false;
}

namespace {

struct UnknownItems {
  DBHANDLE db;
  const std::string* where;
};

STATUS WarnIfUnknown(void* arg, const char* name, WORD nameLen) {
  auto* u = static_cast<UnknownItems*>(arg);
  std::string n(name, nameLen);
  BOOL exists = TRUE;
  // A failed lookup only costs the warning: the search itself will say
  // what is wrong with the queue.
  if (QDSSummaryItemExists(u->db, n.c_str(), &exists) == NOERROR && !exists)
    std::fprintf(stderr,
                 "wqadmin: warning: no message in '%s' has a summary item "
                 "'%s'; the formula's tests of it match nothing\n",
                 u->where->c_str(), Printable(n).c_str());
  return NOERROR;
}

}  // namespace

void WarnUnknownItems(queue_handle_t* q, const std::string& where,
                      const std::string& formula) {
  if (formula.empty() || formula.size() > 0xFFFF) return;
  UnknownItems u{q->dbhandle, &where};
  (void)QDSFormulaItemNames(formula.data(), static_cast<WORD>(formula.size()),
                            WarnIfUnknown, &u);
}

bool OpenMessage(queue_handle_t* q, const std::string& where, NOTEID id,
                 msg_handle_t* m) {
  const std::string what = "message " + std::to_string(id);
  STATUS err = WQSOpenMsgByMsgID(q, id, m);
  if (err == NOERROR) return true;
  if (err == ERR_ITEM_NOT_FOUND) {
    // No message info: the note exists but holds no message.  Say what it
    // is instead, since "item not found" names nothing the operator asked.
    NOTEHANDLE note = NULLHANDLE;
    if (QDSNoteOpen(q->dbhandle, id, 0, &note) == NOERROR) {
      WORD cls = 0;
      QDSNoteGetInfo(note, _NOTE_CLASS, &cls);
      (void)QDSNoteClose(note);
      FailText("note " + std::to_string(id) + " in '" + where + "' is " +
               (cls == NOTE_CLASS_VIEW       ? "a view"
                : cls == NOTE_CLASS_DOCUMENT ? "a document without " WQS_ITEM_MSGINFO
                                             : "a design note") +
               ", not a message");
      return false;
    }
  }
  Fail("cannot open " + what + " in", where, err);
  return false;
}

STATUS ForEachNote(queue_handle_t* q, const std::string& formula,
                   const NoteFn& fn, NOTEID after) {
  FORMULAHANDLE hFormula = NULLHANDLE;
  if (!formula.empty()) {
    STATUS err = CompileFormula(formula, &hFormula);
    if (err != NOERROR) return err;
  }
  WalkState st{&fn};
  STATUS err = QDSSearchAfter(q->dbhandle, hFormula, SEARCH_REPORT_DAMAGED,
                              NOTE_CLASS_DOCUMENT, after, WalkCallback, &st);
  if (hFormula != NULLHANDLE) (void)OSMemFree(hFormula);
  if (st.stopped) return NOERROR;
  return err;
}

bool IsSpecialTime(const TIMEDATE& t) {
  TIMEDATE special;
  for (WORD which : {TIMEDATE_MINIMUM, TIMEDATE_MAXIMUM, TIMEDATE_WILDCARD}) {
    TimeConstant(which, &special);
    if (TimeDateCompare(&t, &special) == 0) return true;
  }
  return false;
}

std::string IsoTime(TIMEDATE t) {
  if (IsSpecialTime(t)) return "";
  int64_t micros = TimeToMicros(&t);
  time_t secs = static_cast<time_t>(micros / 1000000 - (micros % 1000000 < 0));
  struct tm tm;
  if (localtime_r(&secs, &tm) == nullptr) return "";
  char buf[64];
  if (strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S%z", &tm) == 0) return "";
  // strftime gives +0100; ISO 8601's extended form wants +01:00.
  size_t n = std::strlen(buf);
  std::string out;
  if (n >= 5 && (buf[n - 5] == '+' || buf[n - 5] == '-')) {
    out.append(buf, n - 2);
    out.push_back(':');
    out.append(buf + n - 2, 2);
  } else {
    out.assign(buf, n);
  }
  return out;
}

STATUS ReadMessageRow(queue_handle_t* q, NOTEID id, MessageRow* row) {
  *row = MessageRow();
  row->id = id;
  wq_msg_handle_t h;
  std::memset(&h, 0, sizeof(h));
  STATUS err = WQSOpenMsgByMsgID(q, id, &h.msg);
  if (WQHKIsMessageDamage(err)) {
    char text[256];
    TavloStatusText(err, text, sizeof(text));
    row->damaged = true;
    row->problem = text;
    return NOERROR;
  }
  if (err != NOERROR) return err;
  double d = 0;
  if (QDSItemGetNumber(h.msg.hNote, "WQMsgStatus", &d) && d >= 0 &&
      d <= 4294967295.0) {
    row->hasStatus = true;
    row->status = static_cast<DWORD>(d);
  }
  const user_msg_info_t& u = h.msg.info.user;
  row->type = h.msg.info.wMsgType;
  row->recipients = u.wNumRecip;
  row->retries = u.wRetries;
  row->nextRetry = LoadTime(&u.tdNextRetry);
  row->error = static_cast<WORD>(u.dwUserInfo3);
  row->attachments = h.msg.info.wNumAttachments;
  msg_state_block_t ms;
  std::memset(&ms, 0, sizeof(ms));
  err = WQInbHKGetMessageState(&h, &ms);
  if (err == NOERROR) row->errorText = ms.szError;
  if (err == NOERROR && u.wNumRecip > 0) {
    recip_info_t ri;
    std::memset(&ri, 0, sizeof(ri));
    err = WQSGetRecipient(&h.msg, 0, &ri);
    if (err == NOERROR && ri.pName != nullptr)
      row->firstRecipient.assign(ri.pName, ri.wNameLen);
  }
  STATUS cerr = WQSCloseMsg(&h.msg);
  return err != NOERROR ? err : cerr;
}

int OutputColumns() {
  // COLUMNS first: the shell exports it only when asked to, so it is the
  // operator's (or a test's) word on the width.
  if (const char* env = std::getenv("COLUMNS")) {
    char* end = nullptr;
    long n = std::strtol(env, &end, 10);
    if (end != env && *end == '\0' && n > 0 && n < 100000)
      return static_cast<int>(n);
  }
  if (!isatty(STDOUT_FILENO)) return 0;
  struct winsize ws;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    return ws.ws_col;
  return 80;
}

}  // namespace wqadmin
