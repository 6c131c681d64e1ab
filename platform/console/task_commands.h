// The console's task commands, separate from argument parsing so each
// stays small.
#ifndef TAVLO_CONSOLE_TASK_COMMANDS_H_
#define TAVLO_CONSOLE_TASK_COMMANDS_H_

#include <string>

namespace tavlo_console {

// `show tasks`: prints every running task of the data directory, removing
// records left by tasks that died without cleaning up.  Returns the exit
// code.
int ShowTasks(const std::string& dataDir, bool json);

// `tell <task> quit`: asks every running task of that name (any case) to
// stop.  Returns the exit code: 1 when no such task runs.
int TellQuit(const std::string& dataDir, const std::string& task);

}  // namespace tavlo_console

#endif  // TAVLO_CONSOLE_TASK_COMMANDS_H_
