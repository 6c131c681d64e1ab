// wqadmin create: a new queue database made the way the relay makes them,
// from a template.  The template is built here, next to the queue, with
// the views an operator wants, and removed again afterwards.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "admin.h"
#include "output.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqhk/wqhk.h"

namespace wqadmin {

namespace {

namespace fs = std::filesystem;

void RemoveDbFiles(const std::string& path) {
  (void)QDSDbDelete(path.c_str());  // with its sidecars
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    fs::remove(path + suffix, ec);
}

// Builds the template database with one view per known status.
int BuildTemplate(const std::string& path) {
  STATUS err = QDSDbCreate(path.c_str(), WQS_QUEUE_DB_CLASS, FALSE);
  if (err != NOERROR) return Fail("cannot create template", path, err);
  DBHANDLE db = 0;
  err = QDSDbOpen(path.c_str(), &db);
  if (err != NOERROR) return Fail("cannot open template", path, err);

  struct View {
    std::string title;
    std::string formula;
  };
  std::vector<View> views = {{"All messages", "@All"},
                             {"Failed", WQ_FAILED_FORMULA}};
  for (const auto& s : KnownStatuses())
    views.push_back({"Status " + std::to_string(s.status) + " (" + s.name + ")",
                     "WQMsgStatus = " + std::to_string(s.status)});
  for (const auto& v : views) {
    NOTEID id = 0;
    err = QDSViewCreate(db, v.title.c_str(), v.formula.c_str(), &id);
    if (err != NOERROR) {
      (void)QDSDbClose(db);
      return Fail("cannot create view \"" + v.title + "\" in", path, err);
    }
  }
  err = QDSDbClose(db);
  if (err != NOERROR) return Fail("cannot close template", path, err);
  return 0;
}

}  // namespace

int CmdCreate(const CreateOptions& o) {
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof(qd));
  if (o.queue.empty() || o.queue.size() >= sizeof(qd.szQueueName))
    return FailText("queue path empty or too long: '" + o.queue + "'");
  if (o.title.size() >= sizeof(qd.szQueueTitle))
    return FailText("title longer than 32 characters: '" + o.title + "'");

  const std::string resolved = ResolvedPath(o.queue);
  std::error_code ec;
  if (fs::exists(resolved, ec))
    return FailText("queue '" + resolved +
                    "' already exists; not overwriting it");

  // The template sits next to the queue so both are on the same disk, and
  // has a name no queue would have.
  std::string templ = o.queue + ".template-" + std::to_string(getpid());
  const std::string templResolved = ResolvedPath(templ);
  if (templ.size() >= sizeof(qd.szQueueTemplate))
    return FailText("queue path too long: '" + o.queue + "'");
  RemoveDbFiles(templResolved);

  int rc = BuildTemplate(templ);
  if (rc != 0) {
    RemoveDbFiles(templResolved);
    return rc;
  }

  std::memcpy(qd.szQueueName, o.queue.c_str(), o.queue.size() + 1);
  std::memcpy(qd.szQueueTemplate, templ.c_str(), templ.size() + 1);
  std::memcpy(qd.szQueueTitle, o.title.c_str(), o.title.size() + 1);
  STATUS err = WQSCreateQueue(&qd);
  RemoveDbFiles(templResolved);
  if (err != NOERROR) {
    // A half-made queue would be opened as it is by the next user; it did
    // not exist before, so take it away.
    RemoveDbFiles(resolved);
    return Fail("cannot create queue", resolved, err);
  }
  Printf("created queue %s (title \"%s\") with views: All messages, "
              "Failed",
              resolved.c_str(), o.title.c_str());
  for (const auto& s : KnownStatuses())
    Printf(", Status %u (%s)", static_cast<unsigned>(s.status), s.name);
  Printf("\n");
  return 0;
}

}  // namespace wqadmin
