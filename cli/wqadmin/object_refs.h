// Which messages of a queue name which objects.  A copy made in the same
// queue (a split message) keeps its source's $FILE items, so the two share
// their attachments' objects; removing one of them must free only the
// objects nobody else names.
#ifndef WQADMIN_OBJECT_REFS_H_
#define WQADMIN_OBJECT_REFS_H_

#include <utility>
#include <vector>

#include "tavlo/store.h"

namespace wqadmin {

class ObjectRefs {
 public:
  // Reads every reference of `db` (one scan of its items; nothing when it
  // holds no object).
  STATUS Load(DBHANDLE db);
  // The objects of note `id` that a note not yet removed also names: what
  // QDSNoteDeleteWithObjects must keep.
  std::vector<DWORD> SharedOf(NOTEID id) const;
  // Deletes note `id` with the objects only it names, and forgets it.
  STATUS Delete(DBHANDLE db, NOTEID id);

 private:
  std::vector<std::pair<NOTEID, DWORD>> byNote_;    // ascending
  std::vector<std::pair<DWORD, NOTEID>> byObject_;  // ascending
  std::vector<NOTEID> removed_;                     // ascending
  bool IsRemoved(NOTEID id) const;
};

}  // namespace wqadmin

#endif  // WQADMIN_OBJECT_REFS_H_
