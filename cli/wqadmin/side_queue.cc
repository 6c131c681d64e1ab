// Side queues (see side_queue.h).
#include "side_queue.h"

#include <filesystem>

#include "admin.h"

namespace wqadmin {

STATUS OpenSideQueue(DBHANDLE source, const std::string& queue, const char* suffix,
                     bool create, DBHANDLE* side, bool* opened) {
  *side = 0;
  *opened = false;
  const std::string path = ResolvedPath(queue) + suffix;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (!create) return NOERROR;
    WORD cls = 0;
    STATUS err = QDSDbGetClass(source, &cls);
    if (!err) err = QDSDbCreate(path.c_str(), cls, FALSE);
    if (err) return err;
    DBHANDLE db = 0;
    err = QDSDbOpen(path.c_str(), &db);
    if (err) return err;
    // The views and the access list, so that list and show work on it as
    // on the queue; a title that says what it is.
    TIMEDATE all;
    TimeConstant(TIMEDATE_WILDCARD, &all);
    err = QDSDbCopy(source, db, all, NOTE_CLASS_ALL & ~NOTE_CLASS_DOCUMENT);
    if (!err) err = QDSDbCopyACL(source, db);
    char info[DBINFO_SIZE] = {}, title[DBINFO_SIZE] = {};
    if (!err) err = QDSDbInfoGet(source, info);
    if (!err) {
      QDSDbInfoParse(info, INFOPARSE_TITLE, title, sizeof title);
      std::string t = std::string(title) + suffix;
      QDSDbInfoModify(info, INFOPARSE_TITLE, t.substr(0, 32).c_str());
      err = QDSDbInfoSet(db, info);
    }
    if (err) {
      QDSDbClose(db);
      return err;
    }
    *side = db;
    *opened = true;
    return NOERROR;
  }
  STATUS err = QDSDbOpen(path.c_str(), side);
  if (!err) *opened = true;
  return err;
}

}  // namespace wqadmin
