// wqadmin: operator commands for the relay's work-queue databases.
//
//   wqadmin [--data DIR] create|seed|stats|show|extract|list ...
//
// Relative queue paths resolve against --data, else $TAVLO_DATA, else the
// current directory.  Exit code 0 on success, 1 on failure (the cause is
// printed to standard error), 2 for a command-line error.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "admin.h"
#include "tavlo/runtime.h"

int main(int argc, char** argv) {
  using namespace wqadmin;
  CLI::App app{"wqadmin: create, fill and inspect MAILHUB work-queue databases"};
  app.require_subcommand(1);
  std::string dataDir;
  app.add_option("--data", dataDir,
                 "data directory for relative queue paths (default: "
                 "$TAVLO_DATA, else the current directory)");

  std::string statusHelp = "Processing statuses (WQMsgStatus):";
  for (const auto& s : KnownStatuses())
    statusHelp += "\n  " + std::to_string(s.status) + "  " + s.text;
  statusHelp += "\nrswq resets 11, 9, 10 and 7 to 6.";

  CreateOptions co;
  auto* create = app.add_subcommand(
      "create", "create a new, empty queue database with views "
                "\"All messages\", \"Failed\" and one per status");
  create->add_option("QUEUE", co.queue, "queue database file")->required();
  create->add_option("--title", co.title, "database title (at most 32 characters)")
      ->capture_default_str();
  create->footer(statusHelp + "\nAn existing file is never overwritten.");
  co.title = "MAILHUB inbound queue";

  SeedOptions so;
  auto* seed = app.add_subcommand(
      "seed", "add N realistic messages in one status");
  seed->add_option("QUEUE", so.queue, "queue database file")->required();
  seed->add_option("--count", so.count, "number of messages")->required();
  seed->add_option("--status", so.status, "WQMsgStatus of every new message")
      ->required();
  seed->add_option("--recipients", so.recipients, "recipients per message")
      ->capture_default_str();
  seed->add_option("--type", so.type, "1 simple, 2 extended (next hop and "
                   "post office per recipient)")
      ->check(CLI::IsMember({1, 2}))
      ->capture_default_str();
  seed->add_option("--attach", so.attach, "attach this file to every message")
      ->check(CLI::ExistingFile);
  seed->add_option("--body-size", so.bodySize,
                   "give every message a body stream \"Body\" of N bytes")
      ->capture_default_str();
  seed->add_option("--seed", so.seed, "random seed (same seed, same messages)")
      ->capture_default_str();
  seed->add_flag("--quiet", so.quiet, "no progress line");
  seed->footer(statusHelp +
               "\nFor bulk seeding set TAVLO_SYNC=normal in the environment: "
               "every message is still stored atomically, but the last ones "
               "may be lost on power loss.  wqadmin never changes that "
               "setting itself.");

  StatsOptions sto;
  auto* stats = app.add_subcommand("stats", "messages per WQMsgStatus");
  stats->add_option("QUEUE", sto.queue, "queue database file")->required();
  stats->add_flag("--json", sto.json, "JSON output");
  stats->footer(statusHelp);

  ShowOptions sho;
  auto* show = app.add_subcommand(
      "show", "one message: its state, error, recipients, attachments");
  show->add_option("QUEUE", sho.queue, "queue database file")->required();
  show->add_option("NOTEID", sho.noteId, "note id of the message")->required();
  show->add_flag("--json", sho.json, "JSON output");

  ExtractOptions eo;
  auto* extract = app.add_subcommand(
      "extract", "write attachment INDEX of a message to OUTFILE (resources "
                 "of a type-2 file go to OUTFILE.rsrc)");
  extract->add_option("QUEUE", eo.queue, "queue database file")->required();
  extract->add_option("NOTEID", eo.noteId, "note id of the message")->required();
  extract->add_option("INDEX", eo.index, "attachment index, from 0")->required();
  extract->add_option("OUTFILE", eo.outFile, "file to write")->required();

  ListOptions lo;
  auto* list = app.add_subcommand("list", "note ids and status of messages");
  list->add_option("QUEUE", lo.queue, "queue database file")->required();
  list->add_option("--status", lo.status, "only messages in this status");
  list->add_option("--limit", lo.limit, "at most N rows (0: all)")
      ->capture_default_str();
  list->add_flag("--json", lo.json, "JSON output");

  CLI11_PARSE(app, argc, argv);

  if (!dataDir.empty()) setenv("TAVLO_DATA", dataDir.c_str(), 1);
  STATUS err = TavloInitExtended(argc, argv);
  if (err != NOERROR)
    return Fail("cannot start the runtime with data directory",
                TavloDataDirectory(), err);

  int rc = 1;
  if (*create) rc = CmdCreate(co);
  else if (*seed) rc = CmdSeed(so);
  else if (*stats) rc = CmdStats(sto);
  else if (*show) rc = CmdShow(sho);
  else if (*extract) rc = CmdExtract(eo);
  else if (*list) rc = CmdList(lo);
  TavloTerm();
  return rc;
}
