// wqadmin extract: writes one attachment of a stored message to a file.
// A file with resources (type 2) keeps its data part and its resource part
// in one object, data first; the data goes to OUTFILE and the resources to
// OUTFILE.rsrc, so neither is mistaken for the other.

#include <cstdio>
#include <cstring>
#include <string>

#include "admin.h"
#include "tavlo/runtime.h"

namespace wqadmin {

namespace {

int WriteFile(const std::string& path, const char* data, size_t len) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr)
    return FailText("cannot write '" + path + "': " + std::strerror(errno));
  bool ok = len == 0 || std::fwrite(data, 1, len, f) == len;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    std::remove(path.c_str());
    return FailText("cannot write '" + path + "': " + std::strerror(errno));
  }
  return 0;
}

}  // namespace

int CmdExtract(const ExtractOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);
  const std::string msgName = "message " + std::to_string(o.noteId);

  msg_handle_t m;
  STATUS err = WQSOpenMsgByMsgID(&q, o.noteId, &m);
  if (err != NOERROR) {
    CloseQueue(o.queue, &q);
    return Fail("cannot open " + msgName + " in", where, err);
  }

  int rc = 0;
  WORD n = WQSGetNumFileBlocks(&m);
  DHANDLE hBuff = NULLHANDLE;
  if (o.index >= n) {
    rc = FailText(msgName + " in '" + where + "' has " + std::to_string(n) +
                  " attachment" + (n == 1 ? "" : "s") + "; no index " +
                  std::to_string(o.index));
  } else {
    file_descriptor_t* fd = nullptr;
    file_block_t* fb = nullptr;
    WQSGetFileBlockInfo(&m, static_cast<WORD>(o.index), &fd, &fb);
    err = WQSGetFileBlockData(&m, fb, 0, &hBuff);
    if (err != NOERROR) {
      rc = Fail("cannot read attachment " + std::to_string(o.index) + " of " +
                    msgName + " in", where, err);
    } else {
      DWORD have = 0;
      (void)OSMemGetSize(hBuff, &have);
      const char* p = static_cast<const char*>(OSLockObject(hBuff));
      if (p == nullptr && have > 0) {
        rc = Fail("cannot lock the data of " + msgName + " in", where,
                  ERR_BAD_HANDLE);
      } else {
        // Trust the object's real length over the descriptor: never write
        // bytes the store did not return.
        const bool mac = fd->fileType == WQS_FILETYPE_MACEXT;
        DWORD dataLen = mac ? std::min<DWORD>(+fd->size, have) : have;
        rc = WriteFile(o.outFile, p, dataLen);
        DWORD resLen = have - dataLen;
        if (rc == 0 && mac && resLen > 0)
          rc = WriteFile(o.outFile + ".rsrc", p + dataLen, resLen);
        if (rc == 0) {
          std::printf("wrote %u bytes of \"%.*s\" to %s", dataLen,
                      static_cast<int>(std::min<WORD>(+fd->wNameLen,
                                                      WQS_MAX_FILE_NAME)),
                      fd->fileName, o.outFile.c_str());
          if (mac && resLen > 0)
            std::printf(" and %u bytes of resources to %s.rsrc", resLen,
                        o.outFile.c_str());
          std::printf("\n");
          if (have != fb->dwLength)
            std::fprintf(stderr,
                         "wqadmin: warning: the stored object holds %u bytes, "
                         "the descriptor says %u\n",
                         have, fb->dwLength);
        }
        if (p != nullptr) OSUnlockObject(hBuff);
      }
      (void)OSMemFree(hBuff);
    }
  }

  STATUS cerr = WQSCloseMsg(&m);
  CloseQueue(o.queue, &q);
  if (rc == 0 && cerr != NOERROR)
    return Fail("cannot close " + msgName + " in", where, cerr);
  return rc;
}

}  // namespace wqadmin
