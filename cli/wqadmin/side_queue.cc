// Side queues (see side_queue.h).
#include "side_queue.h"

#include <filesystem>
#include <vector>

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
    // on the queue; a title that says what it is.  Each design note is
    // copied as stored, and one that cannot be read is left behind: the
    // side queue is most needed when its queue is damaged.
    std::vector<NOTEID> design;
    (void)QDSSearch(source, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL & ~NOTE_CLASS_DOCUMENT,
                    nullptr,
                    [](void* a, SEARCH_MATCH* m, ITEM_TABLE*) -> STATUS {
                      static_cast<std::vector<NOTEID>*>(a)->push_back(m->ID.NoteID);
                      return NOERROR;
                    },
                    &design, nullptr);
    for (NOTEID id : design)
      (void)QDSNoteCopyRaw(source, id, db, 0, nullptr, nullptr, 0, nullptr);
    err = QDSDbCopyACL(source, db);
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
