// tavlo: the server console for the add-in tasks of a data directory.
//
//   tavlo [--data DIR] show tasks [--json]
//   tavlo [--data DIR] tell TASK quit
//
// --data may also follow the subcommand.  Exit code 0 on success, 1 on a
// failure, 2 for a command-line error (as wqadmin's).

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "task_commands.h"
#include "tavlo/runtime.h"

int main(int argc, char** argv) {
  CLI::App app{"Tavlo server console: shows and controls the add-in tasks "
               "running on a data directory"};
  app.require_subcommand(1);
  std::string data_dir;
  app.add_option("--data", data_dir,
                 "Data directory (default: $TAVLO_DATA, else the current "
                 "directory)");

  CLI::App* show = app.add_subcommand("show", "Show server information");
  show->require_subcommand(1);
  CLI::App* tasks = show->add_subcommand(
      "tasks", "List the running tasks with their status lines");
  bool json = false;
  tasks->add_flag("--json", json, "Print the list as JSON");

  CLI::App* tell = app.add_subcommand("tell", "Send a command to a task");
  std::string task;
  std::string command;
  tell->add_option("task", task, "Task name, as `show tasks` lists it (any case)")
      ->required();
  tell->add_option("command", command, "Command to send; only 'quit' is known")
      ->required()
      ->check(CLI::IsMember({"quit"}, CLI::ignore_case));

  // The whole command's option, accepted where an operator types it.
  for (CLI::App* sub : {tasks, tell})
    sub->add_option("--data", data_dir, "Data directory (as before the "
                    "subcommand)");

  // CLI11's own exit codes (106, 109, ...) mean nothing to the scripts
  // around the relay: every usage error gets 2, as in wqadmin.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  // The --data option wins over the environment.
  std::string dir = data_dir.empty() ? std::string(TavloDataDirectory()) : data_dir;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "Data directory %s does not exist\n", dir.c_str());
    return 1;
  }
  if (*tasks) return tavlo_console::ShowTasks(dir, json);
  if (*tell) return tavlo_console::TellQuit(dir, task);
  return 1;
}
