// wqadmin extract: writes one attachment of a stored message to a file.
// A file with resources (type 2) keeps its data part and its resource part
// in one object, data first; the data goes to OUTFILE and the resources to
// OUTFILE.rsrc, so neither is mistaken for the other.  OUTFILE "-" is
// standard output (the data part: a stream has no second part).  An
// existing file is replaced only with --force: an operator extracting
// several attachments must not lose one to a repeated name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "admin.h"
#include "output.h"
#include "safe_text.h"
#include "tavlo/runtime.h"

namespace wqadmin {

namespace {

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int Refuse(const std::string& path) {
  return FailText("'" + path + "' exists; not overwriting it (--force "
                  "replaces it)");
}

int WriteFile(const std::string& path, const char* data, size_t len,
              bool force) {
  // O_EXCL: a file that appeared since the check is not overwritten either.
  int fd = open(path.c_str(),
                O_WRONLY | O_CREAT | O_CLOEXEC | (force ? O_TRUNC : O_EXCL),
                0644);
  if (fd < 0)
    return FailText("cannot write '" + path + "': " + std::strerror(errno));
  // Only a regular file can hold a cut attachment; a device or pipe that
  // --force named is the operator's and stays where it is.
  struct stat sb;
  const bool regular = fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode);
  int cause = 0;
  for (size_t done = 0; done < len && cause == 0;) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) cause = n < 0 ? errno : EIO;
    else done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 && cause == 0) cause = errno;
  if (cause != 0) {
    // A cut attachment looks whole to the next reader: take it away.
    if (regular) std::remove(path.c_str());
    return FailText("cannot write '" + path + "': " + std::strerror(cause));
  }
  return 0;
}

}  // namespace

int CmdExtract(const ExtractOptions& o) {
  const bool toStdout = o.outFile == "-";
  // Checked before the queue is opened, and again for the resources once
  // it is known there are any, so a refusal leaves no half-written pair.
  if (!toStdout && !o.force && Exists(o.outFile)) return Refuse(o.outFile);
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
    STATUS err = WQSGetFileBlockData(&m, fb, 0, &hBuff);
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
        DWORD resLen = have - dataLen;
        const std::string name = Printable(std::string_view(
            fd->fileName, std::min<WORD>(+fd->wNameLen, WQS_MAX_FILE_NAME)));
        if (toStdout) {
          Write(std::string_view(p, dataLen));
          if (resLen > 0)
            std::fprintf(stderr, "wqadmin: %u bytes of resources of \"%s\" "
                         "not written (name an OUTFILE to get OUTFILE.rsrc)\n",
                         resLen, name.c_str());
        } else if (resLen > 0 && !o.force && Exists(o.outFile + ".rsrc")) {
          rc = Refuse(o.outFile + ".rsrc");
        } else {
          rc = WriteFile(o.outFile, p, dataLen, o.force);
          if (rc == 0 && resLen > 0)
            rc = WriteFile(o.outFile + ".rsrc", p + dataLen, resLen, o.force);
          if (rc == 0) {
            Printf("wrote %u bytes of \"%s\" to %s", dataLen, name.c_str(),
                   o.outFile.c_str());
            if (resLen > 0)
              Printf(" and %u bytes of resources to %s.rsrc", resLen,
                     o.outFile.c_str());
            Printf("\n");
          }
        }
        if (rc == 0 && have != fb->dwLength)
          std::fprintf(stderr,
                       "wqadmin: warning: the stored object holds %u bytes, "
                       "the descriptor says %u\n",
                       have, fb->dwLength);
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
