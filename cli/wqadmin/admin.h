// wqadmin: operator commands for work-queue databases.  Each subcommand is
// one function returning the process exit code; errors are printed to
// standard error naming the file and the cause.
#ifndef WQADMIN_ADMIN_H_
#define WQADMIN_ADMIN_H_

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tavlo/status.h"
#include "wqs/wqs.h"
#include "selection.h"

namespace wqadmin {

// Processing statuses the relay gives a message in WQMsgStatus, as far as
// this command knows them.  The reset tool selects 11, 9, 10 and 7 and
// writes 6.
struct StatusMeaning {
  DWORD status;
  const char* name;  // short, for view titles and tables
  const char* text;  // one line for help texts
};
const std::vector<StatusMeaning>& KnownStatuses();
// "queued", or "" for an unknown status.
const char* StatusName(DWORD status);
bool IsFailedStatus(DWORD status);

// The runtime's text for a STATUS ("Database file is damaged").
std::string StatusText(STATUS status);
// Prints "wqadmin: <what> '<file>': <status text> (STATUS n)" to stderr and
// returns 1.
int Fail(const std::string& what, const std::string& file, STATUS status);
// Prints "wqadmin: <message>" to stderr and returns 1.
int FailText(const std::string& message);

// The queue path as the runtime will resolve it (for messages and file
// existence checks).
std::string ResolvedPath(const std::string& queue);

// Opens an existing queue (never creates one).  Prints the error itself.
bool OpenQueue(const std::string& queue, queue_handle_t* q);
// The same in the store's bulk mode, for commands that save many messages
// in a row: sync points instead of a sync per save (see QDSDbOpenBulk).
bool OpenQueueBulk(const std::string& queue, queue_handle_t* q);
// Opens an existing queue for commands that only read it.  Prints the
// error itself.
bool OpenQueueReadOnly(const std::string& queue, queue_handle_t* q);
void CloseQueue(const std::string& queue, queue_handle_t* q);

// Called for each matching document in note-ID order, and for each one the
// search cannot decode (`damaged`: its header or summary values; it
// matches nothing, so it is handed over whatever the formula); false stops
// the walk.
using NoteFn = std::function<bool(NOTEID, bool damaged)>;
// What the search calls a document it cannot decode.
constexpr const char* kUndecodable = "its header or summary values cannot be decoded";
// Runs a search over the queue's data documents (formula text may be
// empty: every document) and hands each match to `fn` as it comes, so a
// queue of any size is walked without being loaded whole.
STATUS ForEachNote(queue_handle_t* q, const std::string& formula,
                   const NoteFn& fn, NOTEID after = 0);
// Whether a formula the operator typed compiles: when it does not,
// prints the parser's message with the formula and a caret under the
// faulty token, and returns false.
bool ExplainFormula(const std::string& formula);
// Warns on standard error about each item the formula reads that no
// message of the open queue carries as a searchable summary item (a typo
// there selects nothing, silently).
void WarnUnknownItems(queue_handle_t* q, const std::string& where,
                      const std::string& formula);
// A message's identity across queues: the File and Note parts of its
// ORIGINATORID, which a copy as stored keeps.  The sequence that follows
// them changes with every save, so a message requeued after it was copied
// is still the same message.
inline std::string MessageIdentity(const ORIGINATORID& oid) {
  std::string key(reinterpret_cast<const char*>(&oid.File), sizeof oid.File);
  key.append(reinterpret_cast<const char*>(&oid.Note), sizeof oid.Note);
  return key;
}
// Time stamps inside the stored records sit at any even address (the
// records are packed on 2-byte boundaries), so they are copied bytewise,
// never bound to a reference.
inline TIMEDATE LoadTime(const void* p) {
  TIMEDATE t;
  std::memcpy(&t, p, sizeof(t));
  return t;
}
inline void StoreTime(void* p, const TIMEDATE& t) { std::memcpy(p, &t, sizeof(t)); }

// True for the special values (minimum, maximum, wildcard): no real time.
bool IsSpecialTime(const TIMEDATE& t);
// ISO 8601 in local time with its UTC offset, "2026-12-06T23:01:02+01:00";
// "" for the special values.
std::string IsoTime(TIMEDATE t);

// What `list` shows of one message, read through the library.
struct MessageRow {
  NOTEID id = 0;
  bool damaged = false;     // the library refuses to open it
  std::string problem;      // why, when damaged
  bool hasStatus = false;
  DWORD status = 0;
  WORD type = 0;
  WORD recipients = 0;
  WORD retries = 0;
  TIMEDATE nextRetry{};
  WORD error = 0;           // message error code (low 16 bits)
  std::string firstRecipient;
  std::string errorText;
  WORD attachments = 0;
};
// Opens message `id` for a command that reads it, printing why not: a note
// that is no message (a view, say) is named as such rather than by the
// STATUS of its missing message info.
bool OpenMessage(queue_handle_t* q, const std::string& where, NOTEID id,
                 msg_handle_t* m);

// Fills `row` for message `id`.  A damaged message is reported in the row
// (NOERROR); other failures (the store, memory) are returned.
STATUS ReadMessageRow(queue_handle_t* q, NOTEID id, MessageRow* row);

// The width rows are cut to: $COLUMNS when set, else the width of the
// terminal standard output goes to; 0 (no cutting) otherwise.
int OutputColumns();

struct CreateOptions {
  std::string queue;
  std::string title;
};
int CmdCreate(const CreateOptions& o);

struct SeedOptions {
  std::string queue;
  uint32_t count = 0;
  uint32_t status = 6;
  uint32_t recipients = 3;
  uint32_t type = 2;
  std::string attach;
  uint32_t bodySize = 0;
  uint64_t seed = 1;
  bool quiet = false;
};
int CmdSeed(const SeedOptions& o);

struct StatsOptions {
  std::string queue;
  bool json = false;
  bool quiet = false;  // no progress bar
  std::string now;     // report as of this time (empty: now)
};
int CmdStats(const StatsOptions& o);

struct VerifyOptions {
  std::string queue;
  bool json = false;
  bool quiet = false;  // no progress bar
  bool full = false;   // SQLite's full integrity check
};
int CmdVerify(const VerifyOptions& o);

struct ShowOptions {
  std::string queue;
  uint32_t noteId = 0;
  bool json = false;
};
int CmdShow(const ShowOptions& o);

struct ExtractOptions {
  std::string queue;
  uint32_t noteId = 0;
  uint32_t index = 0;
  std::string outFile;  // "-": standard output
  bool force = false;   // replace an existing file
};
int CmdExtract(const ExtractOptions& o);

// The name seed gives the body stream, and cat's default.
constexpr const char* kBodyStream = "Body";

struct CatOptions {
  std::string queue;
  uint32_t noteId = 0;
  std::string stream = kBodyStream;
  bool headers = false;  // stop at the first empty line
};
int CmdCat(const CatOptions& o);
struct ListOptions {
  std::string queue;
  SelectionOptions sel;
  uint32_t limit = 0;              // 0: every message
  uint32_t after = 0;              // only note ids after this (paging)
  bool json = false;
  bool quiet = false;              // no progress bar
};
int CmdList(const ListOptions& o);

// The rows of `list`, printed as they come: a table cut to the terminal,
// or a JSON array with one message object per line.  Actions print their
// --dry-run with it, so a dry run shows exactly what list would.
class RowPrinter {
 public:
  explicit RowPrinter(bool json);
  ~RowPrinter();
  void Row(const MessageRow& r);
  // Closes the array, or says "no messages" (unless quietWhenEmpty).
  void Finish(bool quietWhenEmpty = false);
  uint64_t rows() const { return rows_; }

 private:
  bool json_;
  int columns_ = 0;
  void* shown_ = nullptr;
  uint64_t rows_ = 0;
};

class Selection;
// Calls `fn` for every message the selection takes, in note-id order, as
// the search finds them (the message tests made on the opened message);
// false from `fn` stops.  Undecodable messages come too when no message
// test is asked for (they can pass no test).
STATUS WalkSelected(queue_handle_t* q, const Selection& sel,
                    const std::function<bool(NOTEID, bool undecodable)>& fn);

enum class ActionKind { kRequeue, kHold, kRelease, kDelete };
struct ActionOptions {
  std::string queue;
  SelectionOptions sel;
  bool dryRun = false;
  bool json = false;   // a dry run's rows as JSON
  bool quiet = false;  // no progress bar
  bool yes = false;    // delete without asking
  std::string exportDir;
};
int CmdAction(ActionKind kind, const ActionOptions& o);

struct ImportOptions {
  std::string queue;
  std::vector<std::string> files;
};
int CmdImport(const ImportOptions& o);

struct ShapeOptions {
  std::string queue;
  SelectionOptions sel;
  std::string by = "domain";  // domain, hop, status
  std::string age = "retry";  // retry, received
  uint32_t top = 20;          // rows before "other" (0: all)
  bool json = false;
  bool quiet = false;
};
int CmdShape(const ShapeOptions& o);

struct RepairOptions {
  std::string queue;
  bool dryRun = false;
};
int CmdRepair(const RepairOptions& o);

struct RecoverOptions {
  std::string queue;
  std::string from;      // a WAL to adopt
  bool discard = false;  // give the unsaved changes up
};
int CmdRecover(const RecoverOptions& o);

}  // namespace wqadmin

#endif  // WQADMIN_ADMIN_H_
