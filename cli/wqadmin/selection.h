// Selecting messages: the options `list` and every action share, and the
// times they take.  One module, so a selection means the same thing to
// every command.
#ifndef WQADMIN_SELECTION_H_
#define WQADMIN_SELECTION_H_

#include <cstdint>
#include <string>

#include "tavlo/types.h"

namespace wqadmin {

// Parses TIME: ISO 8601 ("2026-12-06T23:01:02", with optional fraction and
// "Z" or "+01:00"; without a zone, local time; a date alone is its
// midnight) or an age before `now` ("90s", "15m", "2h", "3d", "1w").
// False with *error set when it is neither.
bool ParseTime(const std::string& text, const TIMEDATE& now, TIMEDATE* out,
               std::string* error);

}  // namespace wqadmin

#endif  // WQADMIN_SELECTION_H_
