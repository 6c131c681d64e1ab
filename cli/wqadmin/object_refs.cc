// Object references of a queue (see object_refs.h).
#include "object_refs.h"

#include <algorithm>

namespace wqadmin {

STATUS ObjectRefs::Load(DBHANDLE db) {
  byNote_.clear();
  byObject_.clear();
  removed_.clear();
  STATUS err = QDSDbForEachObjectRef(
      db,
      [](void* arg, NOTEID id, DWORD rrv) -> STATUS {
        static_cast<ObjectRefs*>(arg)->byNote_.emplace_back(id, rrv);
        return NOERROR;
      },
      this);
  if (err) return err;
  std::sort(byNote_.begin(), byNote_.end());
  byObject_.reserve(byNote_.size());
  for (const auto& [id, rrv] : byNote_) byObject_.emplace_back(rrv, id);
  std::sort(byObject_.begin(), byObject_.end());
  return NOERROR;
}

bool ObjectRefs::IsRemoved(NOTEID id) const {
  return std::binary_search(removed_.begin(), removed_.end(), id);
}

std::vector<DWORD> ObjectRefs::SharedOf(NOTEID id) const {
  std::vector<DWORD> shared;
  auto first = std::lower_bound(byNote_.begin(), byNote_.end(), std::make_pair(id, DWORD{0}));
  for (auto it = first; it != byNote_.end() && it->first == id; ++it) {
    const DWORD rrv = it->second;
    auto o = std::lower_bound(byObject_.begin(), byObject_.end(),
                              std::make_pair(rrv, NOTEID{0}));
    for (; o != byObject_.end() && o->first == rrv; ++o) {
      if (o->second != id && !IsRemoved(o->second)) {
        shared.push_back(rrv);
        break;
      }
    }
  }
  return shared;
}

STATUS ObjectRefs::Delete(DBHANDLE db, NOTEID id) {
  const std::vector<DWORD> keep = SharedOf(id);
  STATUS err = QDSNoteDeleteWithObjects(db, id, keep.data(), static_cast<DWORD>(keep.size()));
  if (err) return err;
  removed_.insert(std::upper_bound(removed_.begin(), removed_.end(), id), id);
  return NOERROR;
}

}  // namespace wqadmin
