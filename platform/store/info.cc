// The database info buffer: DBINFO_SIZE characters, zero-terminated, its
// parts separated by '\n' (part 0 is the title).  Pure string functions;
// QDSDbInfoGet / QDSDbInfoSet store the buffer.
#include <cstring>
#include <string>
#include <vector>

#include "tavlo/store.h"

namespace {

// Splits the (possibly unterminated) buffer into its parts.
std::vector<std::string> Parts(const char* info) {
  std::vector<std::string> parts(1);
  size_t len = strnlen(info, DBINFO_SIZE);
  for (size_t i = 0; i < len; ++i) {
    if (info[i] == '\n') {
      parts.emplace_back();
    } else {
      parts.back().push_back(info[i]);
    }
  }
  return parts;
}

}  // namespace

void QDSDbInfoModify(char* info, WORD what, const char* text) {
  if (info == nullptr) return;
  try {
    std::vector<std::string> parts = Parts(info);
    if (parts.size() <= what) parts.resize(what + 1);
    std::string t = text ? text : "";
    // A part cannot hold the separator itself.
    size_t nl = t.find('\n');
    if (nl != std::string::npos) t.resize(nl);
    parts[what] = t;
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (i) out.push_back('\n');
      out += parts[i];
    }
    // Whatever does not fit is cut; the buffer always stays terminated.
    if (out.size() > DBINFO_SIZE - 1) out.resize(DBINFO_SIZE - 1);
    memset(info, 0, DBINFO_SIZE);
    memcpy(info, out.data(), out.size());
  } catch (...) {
    // Out of memory: the buffer is left as it was.
  }
}

void QDSDbInfoParse(const char* info, WORD what, char* buf, WORD bufLen) {
  if (buf == nullptr || bufLen == 0) return;
  buf[0] = '\0';
  if (info == nullptr) return;
  size_t len = strnlen(info, DBINFO_SIZE);
  size_t start = 0;
  for (WORD part = 0; part < what; ++part) {
    const void* nl = memchr(info + start, '\n', len - start);
    if (nl == nullptr) return;
    start = static_cast<const char*>(nl) - info + 1;
  }
  const void* nl = memchr(info + start, '\n', len - start);
  size_t end = nl ? static_cast<const char*>(nl) - info : len;
  size_t n = end - start;
  if (n > static_cast<size_t>(bufLen - 1)) n = bufLen - 1;
  memcpy(buf, info + start, n);
  buf[n] = '\0';
}
