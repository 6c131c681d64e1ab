// Side queues beside a queue: QUEUE.damaged, where repair sets messages
// aside, and QUEUE.hold, where the operator parks them.  Each is a queue
// database of its own, made on demand with the queue's class, views and
// access list, so every wqadmin command works on it as on the queue.
#ifndef WQADMIN_SIDE_QUEUE_H_
#define WQADMIN_SIDE_QUEUE_H_

#include <string>

#include "tavlo/store.h"

namespace wqadmin {

// Opens `queue` + `suffix` for writing; with `create`, makes it first when
// it does not exist (from `source`, the open queue).  *opened FALSE (and
// NOERROR) when it does not exist and `create` is false.
STATUS OpenSideQueue(DBHANDLE source, const std::string& queue, const char* suffix,
                     bool create, DBHANDLE* side, bool* opened);

}  // namespace wqadmin

#endif  // WQADMIN_SIDE_QUEUE_H_
