// Selecting messages: the options `list` and every action share, and the
// times they take.  One module, so a selection means the same thing to
// every command.
//
//   --status S      (repeatable; "9,10" lists too)    } in the search, by
//   --formula F                                        } the index
//   --id N          (repeatable; "-": one id a line from standard input)
//   --to ADDR | --to @DOMAIN   any recipient, case-insensitive      } on the
//   --error TEXT    in the error text, case-insensitive              } opened
//   --retry-before/--retry-after TIME      the next retry           } message
//   --received-before/--received-after TIME  WQRecvTime (messages
//                   without one never match a --received test)
//
// All of them must hold.  An action walks a snapshot of the ids the search
// matched and tests each message, so it ends however many formula matches
// fail the other tests (it never searches again for "the first hundred").
#ifndef WQADMIN_SELECTION_H_
#define WQADMIN_SELECTION_H_

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tavlo/types.h"
#include "wqs/wqs.h"

namespace CLI {
class App;
}

namespace wqadmin {

// Parses TIME: ISO 8601 ("2026-12-06T23:01:02", with optional fraction and
// "Z" or "+01:00"; without a zone, local time; a date alone is its
// midnight) or an age before `now` ("90s", "15m", "2h", "3d", "1w").
// False with *error set when it is neither.
bool ParseTime(const std::string& text, const TIMEDATE& now, TIMEDATE* out,
               std::string* error);

// The options as typed.
struct SelectionOptions {
  std::vector<std::string> statuses;
  std::string formula;
  std::vector<std::string> ids;
  std::string to;
  std::string error;
  std::string retryBefore, retryAfter, receivedBefore, receivedAfter;
};
void AddSelectionOptions(CLI::App* cmd, SelectionOptions* o);

// A selection ready to use.
class Selection {
 public:
  // Checks and resolves the options (reads standard input for "--id -").
  // False with *error set on a usage error.
  bool Resolve(const SelectionOptions& o, std::string* error);

  // The part the search evaluates; empty: every message.
  const std::string& Formula() const { return formula_; }
  // True when tests run on the opened message (beyond the formula).
  bool TestsMessage() const;
  // Ids asked for by --id, or null when not restricted.
  const std::set<NOTEID>* Ids() const { return byId_ ? &ids_ : nullptr; }
  bool TakesId(NOTEID id) const { return !byId_ || ids_.count(id) != 0; }
  // The message tests; the message is open.
  bool Matches(msg_handle_t* m) const;
  // Only messages after this note id (a page of a long listing).
  void SetAfter(NOTEID after) { after_ = after; }
  NOTEID After() const { return after_; }
  // A one-line description for reports ("status 9 or 10, to @example.org").
  std::string Describe() const;

 private:
  std::string formula_;
  std::set<NOTEID> ids_;
  bool byId_ = false;
  std::string to_;  // lower case; "@domain" matches the domain
  std::string error_;
  bool hasRetryBefore_ = false, hasRetryAfter_ = false;
  bool hasReceivedBefore_ = false, hasReceivedAfter_ = false;
  int64_t retryBefore_ = 0, retryAfter_ = 0, receivedBefore_ = 0, receivedAfter_ = 0;
  std::string describe_;
  NOTEID after_ = 0;
};

// A snapshot of the ids the search part and --id take, in note-id order
// (the undecodable ones left out: no test can be made on them).  The
// caller opens each and calls Matches when TestsMessage.
STATUS CandidateIds(queue_handle_t* q, const Selection& s, std::vector<NOTEID>* ids);

}  // namespace wqadmin

#endif  // WQADMIN_SELECTION_H_
