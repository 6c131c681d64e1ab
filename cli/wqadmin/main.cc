// wqadmin: operator commands for the relay's work-queue databases.
//
//   wqadmin [--data DIR] create|seed|stats|list|show|cat|verify|extract ...
//   wqadmin help [SUBCOMMAND]
//
// Relative queue paths resolve against --data (before or after the
// subcommand), else $TAVLO_DATA, else the current directory.  Exit code 0
// on success, 1 on failure (the cause is printed to standard error; for
// verify: a damaged message; a failed write of the output counts too), 2
// for a command-line error.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <CLI/CLI.hpp>

#include "admin.h"
#include "output.h"
#include "serve/serve.h"
#include "tavlo/runtime.h"

namespace {

// `wqadmin help [SUBCOMMAND]`: what `--help` prints, for operators who type
// the word.  -1 when argv is not a help request.
int Help(CLI::App& app, int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) != "help") return -1;
  if (argc == 2) {
    wqadmin::Printf("%s", app.help().c_str());
    return wqadmin::FinishOutput();
  }
  for (CLI::App* sub : app.get_subcommands({}))
    if (argc == 3 && sub->get_name() == argv[2]) {
      wqadmin::Printf("%s", sub->help(app.get_name()).c_str());
      return wqadmin::FinishOutput();
    }
  std::fprintf(stderr, "wqadmin: help: no subcommand '%s'\n",
               argc > 2 ? argv[2] : "");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace wqadmin;
  CLI::App app{"wqadmin: create, fill and inspect MAILHUB work-queue databases"};
  app.name("wqadmin");  // for `wqadmin help`, which runs before the parse
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
  // Only statuses the relay gives a message: a seeded queue should hold
  // nothing the relay itself would not.
  seed->add_option("--status", so.status, "WQMsgStatus of every new message")
      ->required()
      ->check(CLI::IsMember({6, 7, 9, 10, 11}));
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
  auto* stats = app.add_subcommand(
      "stats", "queue shape: messages per WQMsgStatus and how long ago their "
               "next retry fell due");
  stats->add_option("QUEUE", sto.queue, "queue database file")->required();
  stats->add_flag("--json", sto.json, "JSON output");
  stats->add_flag("--quiet", sto.quiet, "no progress bar");
  stats->add_option("--now", sto.now,
                    "report as of TIME (ISO 8601, or an age such as 2h) instead of "
                    "now: reproducible reports");
  stats->footer(statusHelp +
                "\nAge buckets: 'ahead' = next retry still to come; 'Nm' = "
                "overdue by less than N minutes (and more than the bucket "
                "before); 'unset' = no next-retry time.");

  VerifyOptions vo;
  auto* verify = app.add_subcommand(
      "verify", "check every message against its stored format; exit 1 when "
                "any is damaged (never changes the queue)");
  verify->add_option("QUEUE", vo.queue, "queue database file")->required();
  verify->add_flag("--json", vo.json, "JSON output");
  verify->add_flag("--quiet", vo.quiet, "no progress bar");
  verify->add_flag("--full", vo.full,
                   "SQLite's full integrity check of the pages (slower) instead "
                   "of its quick one");
  verify->footer(
      "Checks the store below the messages (SQLite's check of the pages, "
      "every message's header and searchable values, the search index "
      "against the items, attachments' objects) and then every message "
      "against its stored format.  Each finding names the note, object or "
      "table and the cause; the run never stops early.  Exit 1 when "
      "anything is found; 'wqadmin repair' sets damaged messages aside.");

  ShowOptions sho;
  auto* show = app.add_subcommand(
      "show", "one message: its state, error, recipients, attachments");
  show->add_option("QUEUE", sho.queue, "queue database file")->required();
  show->add_option("NOTEID", sho.noteId, "note id of the message")->required();
  show->add_flag("--json", sho.json, "JSON output");

  CatOptions cao;
  auto* cat = app.add_subcommand(
      "cat", "write the bytes of a message's data stream to standard output, "
             "unchanged");
  cat->add_option("QUEUE", cao.queue, "queue database file")->required();
  cat->add_option("NOTEID", cao.noteId, "note id of the message")->required();
  cat->add_option("--stream", cao.stream, "stream name")->capture_default_str();
  cat->add_flag("--headers", cao.headers,
                "stop at the first empty line (CRLF or LF): the header block");

  ExtractOptions eo;
  auto* extract = app.add_subcommand(
      "extract", "write attachment INDEX of a message to OUTFILE (resources "
                 "of a type-2 file go to OUTFILE.rsrc); - is standard output");
  extract->add_option("QUEUE", eo.queue, "queue database file")->required();
  extract->add_option("NOTEID", eo.noteId, "note id of the message")->required();
  extract->add_option("INDEX", eo.index, "attachment index, from 0")->required();
  extract->add_option("OUTFILE", eo.outFile, "file to write, or - for standard "
                      "output (the data part only)")->required();
  extract->add_flag("--force", eo.force, "replace OUTFILE (and OUTFILE.rsrc) "
                    "when it exists");

  ListOptions lo;
  auto* list = app.add_subcommand(
      "list", "one line per message: status, type, recipients, retries, next "
              "retry, error, first recipient, error text");
  list->add_option("QUEUE", lo.queue, "queue database file")->required();
  AddSelectionOptions(list, &lo.sel);
  list->add_option("--after", lo.after,
                   "only messages with a note id after N: the next page after a "
                   "--limit listing ended at N");
  list->add_option("--limit", lo.limit, "at most N messages (default 0: all)");
  list->add_flag("--json", lo.json,
                 "JSON output: an array, one message object per line");
  list->add_flag("--quiet", lo.quiet, "no progress bar");
  list->footer(statusHelp +
               "\nTimes are ISO 8601 in local time.  On a terminal (or with "
               "COLUMNS set) rows are cut to its width: note id, status, first "
               "recipient and error text stay, the other columns go first.");

  ShapeOptions sho2;
  auto* shape = app.add_subcommand(
      "shape", "where the selected mail is going and how long it has waited: "
               "recipients per domain (or next hop, or status) and age");
  shape->add_option("QUEUE", sho2.queue, "queue database file")->required();
  shape->add_option("--by", sho2.by, "rows: domain, hop or status")
      ->check(CLI::IsMember({"domain", "hop", "status"}))
      ->capture_default_str();
  shape->add_option("--age", sho2.age,
                    "columns: age of the next retry, or of the receipt (WQRecvTime)")
      ->check(CLI::IsMember({"retry", "received"}))
      ->capture_default_str();
  shape->add_option("--top", sho2.top, "rows before the rest is summed as 'other' (0: all)")
      ->capture_default_str();
  shape->add_flag("--json", sho2.json, "JSON output: the same table");
  shape->add_flag("--quiet", sho2.quiet, "no progress bar");
  AddSelectionOptions(shape, &sho2.sel);
  shape->footer(
      "Every cell counts recipients: every recipient of every selected message. "
      "The first row is the totals.  Age buckets as in stats; 'unset': no next "
      "retry (or, by receipt, no WQRecvTime).");

  // The actions on a stopped queue share the selection and the dry run.
  struct ActionCmd {
    ActionKind kind;
    const char* name;
    const char* what;
    ActionOptions o;
    CLI::App* app = nullptr;
  };
  ActionCmd actions[] = {
      {ActionKind::kRequeue, "requeue",
       "reset the selected messages for delivery, exactly as rswq does (status 6, "
       "retry count 1, errors cleared, every recipient reset)", {}},
      {ActionKind::kHold, "hold",
       "move the selected messages into QUEUE.hold (made on demand), where the relay "
       "never sees them", {}},
      {ActionKind::kRelease, "release",
       "move the selected messages of QUEUE.hold back into QUEUE", {}},
      {ActionKind::kDelete, "delete",
       "purge the selected messages (asks first on a terminal; --yes otherwise)", {}}};
  for (ActionCmd& a : actions) {
    a.app = app.add_subcommand(a.name, a.what);
    a.app->add_option("QUEUE", a.o.queue, "queue database file")->required();
    AddSelectionOptions(a.app, &a.o.sel);
    a.app->add_flag("--dry-run", a.o.dryRun,
                    "print the rows list would print for the selection and a count; "
                    "change nothing");
    a.app->add_flag("--json", a.o.json, "a dry run's rows as JSON, as list --json");
    a.app->add_flag("--quiet", a.o.quiet, "no progress bar");
    if (a.kind == ActionKind::kDelete) {
      a.app->add_flag("--yes", a.o.yes, "delete without asking");
      a.app->add_option("--export", a.o.exportDir,
                        "first write each message (every item, stream and "
                        "attachment) to its own file in DIR; 'wqadmin import' puts "
                        "it back");
    }
    a.app->footer(
        "The relay must be stopped: the action takes the queue for writing and is "
        "refused while the relay or rswq has it.  The selection options combine with "
        "AND; TIME is ISO 8601 or an age such as 2h or 3d.  Ctrl-C or 'tavlo tell "
        "wqadmin quit' stops after the message in hand.  Exit 0, 1 when a message "
        "could not be taken (the cause named), 2 for a usage error.");
  }
  ImportOptions io;
  auto* import = app.add_subcommand(
      "import", "put messages that 'delete --export' wrote back into a queue");
  import->add_option("QUEUE", io.queue, "queue database file")->required();
  import->add_option("FILE", io.files, "exported message files")->required();

  RepairOptions rpo;
  auto* repair = app.add_subcommand(
      "repair", "make a damaged queue work again: set damaged messages aside in "
                "QUEUE.damaged, rebuild the search index (the relay must be stopped)");
  repair->add_option("QUEUE", rpo.queue, "queue database file")->required();
  repair->add_flag("--dry-run", rpo.dryRun, "say what would be done; change nothing");
  repair->footer(
      "Each message the library cannot open (or a search cannot decode) moves, "
      "exactly as stored with its attachments, to QUEUE.damaged, created on "
      "demand; nothing is thrown away.  Damage below the messages (pages of the "
      "file) is salvaged instead: every message that can be read goes into a new "
      "file that replaces the queue, the damaged file is kept as QUEUE.corrupt, "
      "what was lost is named, and the exit code is 1.");

  RecoverOptions ro;
  auto* recover = app.add_subcommand(
      "recover", "settle a queue that was not closed cleanly and is refused "
                 "because its unsaved changes are not beside it");
  recover->add_option("QUEUE", ro.queue, "queue database file")->required();
  auto* recoverFrom = recover->add_option(
      "--from", ro.from, "adopt this WAL (a queue's unsaved changes, e.g. left "
                         "in the directory the queue was moved from)");
  recover->add_flag("--discard-unsaved", ro.discard,
                    "give up the unsaved changes knowingly and mark the queue "
                    "clean")
      ->excludes(recoverFrom);
  recover->footer(
      "A writer keeps its latest changes in a WAL beside the queue until they "
      "are folded into it.  The WAL follows the queue through renames in its "
      "directory; a queue moved or copied elsewhere after a crash leaves it "
      "behind and is refused until this command settles it:\n"
      "  no option          apply the queue's own WAL, or adopt the "
      "<QUEUE>-wal an earlier release left after a crash\n"
      "  --from FILE        adopt FILE when it provably belongs to the queue\n"
      "  --discard-unsaved  accept the loss\n"
      "Nothing else may have the queue open (stop the relay and rswq).");

  wqserve::ServeOptions svo;
  auto* serve = app.add_subcommand(
      "serve", "a live dashboard of the queues in the browser, read-only; prints "
               "its address and serves until Ctrl-C");
  serve->add_option("QUEUE", svo.queues, "queue database files of the data directory")
      ->required();
  serve->add_option("--listen", svo.listen, "address and port (a loopback address "
                    "unless --token-file is given)")
      ->capture_default_str();
  serve->add_option("--token-file", svo.tokenFile,
                    "file whose first line is the access token: needed to listen on "
                    "any other address");
  serve->footer(
      "The page shows totals per status, the queue's shape, next retries, the "
      "messages (paged), one message's details and the running tasks; /api/stats, "
      "/api/shape, /api/list, /api/show/ID and /api/tasks give what the --json of "
      "stats, shape, list, show and 'tavlo show tasks' print.  Queues are opened "
      "read-only for each request.  On loopback only requests naming the printed "
      "address in Host are answered; with --token-file the printed address carries "
      "a one-time login code, and API clients send 'Authorization: Bearer TOKEN'.");

  // --data is the whole command's, but operators type it where they
  // think of it: accept it after the subcommand too.
  for (CLI::App* sub : app.get_subcommands({}))
    sub->add_option("--data", dataDir, "data directory (as before the "
                    "subcommand)");

  int help = Help(app, argc, argv);
  if (help >= 0) return help;

  // CLI11's own exit codes are many; operators and scripts get one for
  // every usage error.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    if (code == 0) return FinishOutput();
    return 2;
  }

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
  else if (*cat) rc = CmdCat(cao);
  else if (*extract) rc = CmdExtract(eo);
  else if (*list) rc = CmdList(lo);
  else if (*verify) rc = CmdVerify(vo);
  else if (*recover) rc = CmdRecover(ro);
  else if (*repair) rc = CmdRepair(rpo);
  else if (*import) rc = CmdImport(io);
  else if (*shape) rc = CmdShape(sho2);
  else if (*serve) rc = wqserve::CmdServe(svo);
  for (ActionCmd& a : actions)
    if (*a.app) rc = CmdAction(a.kind, a.o);
  // A listing that did not reach its reader is a failure whatever the
  // command thought of it.  Checked before the runtime's shut-down, which
  // flushes too and would take the cause with it.
  if (FinishOutput() != 0 && rc == 0) rc = 1;
  TavloTerm();
  return rc;
}
