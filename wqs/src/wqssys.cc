// Library-wide hooks.  The store keeps no global state, so there is nothing
// to set up, tear down or tidy; the hooks exist for callers that expect to
// bracket their use of the library with them.
#include "wqs/wqsdb.h"

STATUS WQSGlobalInit(void) { return NOERROR; }
STATUS WQSGlobalClose(void) { return NOERROR; }
STATUS WQSDoHouseKeeping(void) { return NOERROR; }
