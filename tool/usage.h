// What rswq says when asked what it is instead of being run: its usage and
// the operator's procedure.  Kept apart from the shell so that asking for
// help never starts the runtime, registers a task or opens the queue.
#ifndef RSWQ_USAGE_H_
#define RSWQ_USAGE_H_

#include <cstdio>

#define RSWQ_VERSION "1.0"

// True when an argument is exactly --help, -h or --version (*version set
// for the last).  Every other argument is ignored by the tool, as before.
bool RswqUsageAsked(int argc, char** argv, bool* version);

// Prints the usage and the procedure to `out`; with `version`, the
// version line first.
void RswqPrintUsage(FILE* out, bool version);

#endif  // RSWQ_USAGE_H_
