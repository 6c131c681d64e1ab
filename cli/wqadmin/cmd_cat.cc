// wqadmin cat: the bytes of one data stream of a message, unchanged, to
// standard output, read through the library's stream calls as the relay
// reads them.  --headers stops at the first empty line, which is where a
// mail message's header block ends (CRLF on the wire, LF in some stores).

#include <cstring>
#include <string>
#include <vector>

#include "admin.h"
#include "output.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"

namespace wqadmin {

namespace {

// Copies the header block of a message through, chunk by chunk: every
// byte up to, not including, the first empty line.  A CR at a line start
// is held back until the next byte tells whether it begins the empty line.
class HeaderFilter {
 public:
  // Returns false once the empty line is found: nothing more to write.
  bool Feed(const char* p, size_t n, std::string* out) {
    for (size_t i = 0; i < n; i++) {
      char c = p[i];
      if (heldCR_) {
        heldCR_ = false;
        if (c == '\n') return false;
        out->push_back('\r');
        lineStart_ = false;
      }
      if (lineStart_ && c == '\n') return false;
      if (lineStart_ && c == '\r') {
        heldCR_ = true;
        continue;
      }
      out->push_back(c);
      lineStart_ = c == '\n';
    }
    return true;
  }
  // A stream ending in a lone CR at a line start: that CR is content.
  void Finish(std::string* out) {
    if (heldCR_) out->push_back('\r');
    heldCR_ = false;
  }

 private:
  bool lineStart_ = true;
  bool heldCR_ = false;
};

// Reads the open stream to its end (or the end of its header block).
STATUS Copy(msg_handle_t* m, data_stream_block_t* dsb, bool headers) {
  std::vector<char> buf(WQS_DSB_MAX_CHUNK);
  HeaderFilter filter;
  std::string part;
  const DWORD size = WQSGetSizeOfDataStreamBlock(dsb);
  for (DWORD done = 0; done < size && !OutputFailed();) {
    WORD flag = 0;
    DWORD got = 0;
    STATUS err = WQSGetDataStreamBlock(m, dsb, &flag, buf.data(),
                                       static_cast<DWORD>(buf.size()), &got);
    if (err != NOERROR) return err;
    if (got == 0) break;  // the table promised more than the pieces hold
    done += got;
    if (!headers) {
      Write(std::string_view(buf.data(), got));
      continue;
    }
    part.clear();
    bool more = filter.Feed(buf.data(), got, &part);
    Write(part);
    if (!more) return NOERROR;
  }
  if (headers) {
    part.clear();
    filter.Finish(&part);
    Write(part);
  }
  return NOERROR;
}

}  // namespace

int CmdCat(const CatOptions& o) {
  if (o.stream.empty() || o.stream.size() > WQS_DSB_MAX_NAME)
    return FailText("--stream: a stream name has 1 to " +
                    std::to_string(WQS_DSB_MAX_NAME) + " characters");
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  const std::string msgName = "message " + std::to_string(o.noteId);

  msg_handle_t m;
  if (!OpenMessage(&q, where, o.noteId, &m)) {
    CloseQueue(o.queue, &q);
    return 1;
  }
  int rc = 0;
  data_stream_block_t dsb;
  std::memset(&dsb, 0, sizeof(dsb));
  // The library gives the same STATUS for a missing stream as for any
  // other failed open; ask the document which it is, so the operator is
  // told "no such stream" rather than "general failure".
  const std::string sizeItem = std::string(WQS_ITEM_DSBARRAY) + o.stream;
  if (!QDSItemIsPresent(m.hNote, sizeItem.c_str(),
                        static_cast<WORD>(sizeItem.size()))) {
    rc = FailText(msgName + " in '" + where + "' has no stream '" + o.stream +
                  "'");
  } else {
    STATUS err = WQSOpenDataStreamBlock(&m, o.stream.c_str(), &dsb);
    if (err == NOERROR) {
      err = Copy(&m, &dsb, o.headers);
      (void)WQSCloseDataStreamBlock(&dsb);
    }
    if (err != NOERROR)
      rc = Fail("cannot read stream '" + o.stream + "' of " + msgName + " in",
                where, err);
  }
  STATUS cerr = WQSCloseMsg(&m);
  CloseQueue(o.queue, &q);
  if (rc == 0 && cerr != NOERROR)
    return Fail("cannot close " + msgName + " in", where, cerr);
  return rc;
}

}  // namespace wqadmin
