// Side queues (see side_queue.h).
#include "side_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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
    // Made whole under a temporary name and then linked into place, so
    // that a side queue is never there without its views (an interrupted
    // creation leaves only the temporary file, which the next one
    // replaces).
    const std::string tmp = path + ".new";
    WORD cls = 0;
    STATUS err = QDSDbGetClass(source, &cls);
    if (!err) err = QDSDbCreate(tmp.c_str(), cls, TRUE);
    if (err) return err;
    DBHANDLE db = 0;
    err = QDSDbOpen(tmp.c_str(), &db);
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
    STATUS cerr = QDSDbClose(db);
    if (!err) err = cerr;
    // link() refuses a name that exists: one made meanwhile is kept.
    if (!err && ::link(tmp.c_str(), path.c_str()) != 0 && errno != EEXIST) err = ERR_DB_IO;
    if (!err) {
      ::unlink(tmp.c_str());
      const int dir = ::open(std::filesystem::path(path).parent_path().c_str(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
      }
    }
    if (err) return err;
  }
  STATUS err = QDSDbOpen(path.c_str(), side);
  if (!err) *opened = true;
  return err;
}

}  // namespace wqadmin
