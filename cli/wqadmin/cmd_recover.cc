// wqadmin recover: settles a queue that was not closed cleanly and is
// separated from its unsaved changes (or holds an earlier release's WAL).
// The store decides what belongs; this command only says what happened
// and, when it refuses, what the operator can do next.

#include <cstdio>
#include <string>

#include "admin.h"
#include "output.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"

namespace wqadmin {

int CmdRecover(const RecoverOptions& o) {
  const std::string path = ResolvedPath(o.queue);
  std::string from;
  if (!o.from.empty()) from = ResolvedPath(o.from);
  WORD outcome = RECOVER_NOTHING;
  const STATUS st = QDSDbRecover(path.c_str(), from.empty() ? nullptr : from.c_str(),
                                 o.discard ? RECOVER_DISCARD_UNSAVED : 0, &outcome);
  const std::string detail = QDSDbLastDetail();
  if (st != NOERROR) {
    Fail("cannot recover", path, st);
    if (!detail.empty()) std::fprintf(stderr, "wqadmin: %s\n", detail.c_str());
    switch (st) {
      case ERR_DB_UNCLEAN:
        std::fprintf(stderr,
                     "wqadmin: move the queue back beside its unsaved changes, name "
                     "them with --from FILE, or give them up with --discard-unsaved\n");
        break;
      case ERR_DB_FOREIGN_WAL:
        std::fprintf(stderr, "wqadmin: nothing was changed\n");
        break;
      case ERR_DB_BUSY:
        std::fprintf(stderr, "wqadmin: stop the relay (and rswq) first: recovery "
                             "needs the queue to itself\n");
        break;
      default:
        break;
    }
    return 1;
  }
  switch (outcome) {
    case RECOVER_NOTHING:
      Printf("%s was closed cleanly: nothing to recover\n", path.c_str());
      break;
    case RECOVER_DISCARDED:
      Printf("%s\nRun 'wqadmin verify %s': what the lost changes had begun may "
             "be incomplete.\n",
             detail.c_str(), o.queue.c_str());
      break;
    default:
      Printf("%s\n", detail.c_str());
      break;
  }
  return FinishOutput();
}

}  // namespace wqadmin
