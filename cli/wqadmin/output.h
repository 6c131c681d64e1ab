// Standard output of wqadmin.  A listing into a full disk is a failed
// command, not a short success: every write goes through here,
// the first failure and its cause are kept, a long walk can ask whether to
// go on, and main turns a failed output into exit code 1 with the cause on
// standard error.
#ifndef WQADMIN_OUTPUT_H_
#define WQADMIN_OUTPUT_H_

#include <cstddef>
#include <string_view>

namespace wqadmin {

// printf to standard output.
void Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Bytes to standard output, unchanged.
void Write(std::string_view bytes);
// True once a write of standard output has failed: nothing written after
// it can reach the reader, so long walks stop.
bool OutputFailed();
// Flushes standard output.  When any write failed, prints "wqadmin: cannot
// write standard output: <cause>" to standard error and returns 1; else 0.
int FinishOutput();

}  // namespace wqadmin

#endif  // WQADMIN_OUTPUT_H_
