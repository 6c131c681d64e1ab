// File blocks: files attached to a message.  A file's bytes live in a
// database object allocated at its full size and written by offset; the
// document gets a $FILE item in the platform's attachment form so the
// platform sees an ordinary attached file; and the message keeps its own
// table of file blocks, stored by the save as WQSAttachInfo.  Readers find
// a message's files through that table, never through the $FILE items.
//
// $FILE value (little-endian), n = wNameLen:
//    0  WORD   value type 0x0003 (object reference)
//    2  WORD   ObjectType 0
//    4  DWORD  RRV of the object
//    8  WORD   FileNameLength n
//   10  WORD   HostType: 0x0200 for a file with resources, else 0
//   12  WORD   CompressionType 0
//   14  WORD   FileAttributes
//   16  WORD   Flags
//   18  DWORD  FileSize: the data part alone (see below)
//   22  8      FileCreated
//   30  8      FileModified
//   38  n      file name, no terminator
// and for a file with resources (fileType 2) the Mac extension:
//   38+n DWORD FileCreator, 42+n DWORD FileType, 46+n DWORD ResourcesStart
//   (= size), 50+n DWORD ResourcesLen (= resSize), 54+n WORD
//   CompressionType 0, 56+n DWORD Spare 0.
//
// FileSize of a file with resources carries the data part alone, not the
// object's whole length: the object holds the data part at [0, FileSize)
// and the resources at [ResourcesStart, ResourcesStart + ResourcesLen) with
// ResourcesStart = FileSize, so the record describes both parts without
// overlap and a reader that knows nothing of resources gets the data part.

#include <cstring>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/dynarray.h"
#include "wqs/wqsfield.h"
#include "wqsutil.h"

namespace {

constexpr DWORD kFileRecordSize = 38;  // FILEOBJECT up to the name
constexpr DWORD kMacExtSize = 22;      // FILEOBJECT_MACEXT
constexpr WORD kObjectClassFile = 1;
constexpr DWORD kReadToEnd = 0xFFFFFFFF;
constexpr WORD kMaxFileBlocks = 0xFFFF;  // wNumAttachments is 16-bit

bool HasResources(const file_descriptor_t* fd) {
  return fd->fileType == WQS_FILETYPE_MACEXT;
}

// Fills the $FILE value at `v` (FileValueLength bytes).
void BuildFileValue(char* v, DWORD rrv, const file_descriptor_t* fd) {
  WQSStoreWord(v + 0, TYPE_OBJECT);
  WQSStoreWord(v + 2, 0);
  WQSStoreDword(v + 4, rrv);
  WQSStoreWord(v + 8, fd->wNameLen);
  WQSStoreWord(v + 10, HasResources(fd) ? WQS_HOSTTYPE_MACEXT : 0);
  WQSStoreWord(v + 12, 0);
  WQSStoreWord(v + 14, fd->attributes);
  WQSStoreWord(v + 16, fd->flags);
  WQSStoreDword(v + 18, fd->size);
  memcpy(v + 22, &fd->created, sizeof(TIMEDATE));
  memcpy(v + 30, &fd->modified, sizeof(TIMEDATE));
  memcpy(v + kFileRecordSize, fd->fileName, fd->wNameLen);
  if (HasResources(fd)) {
    char* m = v + kFileRecordSize + fd->wNameLen;
    WQSStoreDword(m + 0, fd->creator);
    WQSStoreDword(m + 4, fd->type);
    WQSStoreDword(m + 8, fd->size);
    WQSStoreDword(m + 12, fd->resSize);
    WQSStoreWord(m + 16, 0);
    WQSStoreDword(m + 18, 0);
  }
}

// Makes the $FILE value for the object and appends it to the document.
// On success the value block belongs to the document; on any failure it is
// freed here.
STATUS AppendFileItem(msg_handle_t* hMsg, DWORD rrv,
                      const file_descriptor_t* fd) {
  DWORD valueLen = kFileRecordSize + fd->wNameLen +
                   (HasResources(fd) ? kMacExtSize : 0);
  DHANDLE h = NULLHANDLE;
  STATUS err = OSMemAlloc(WQS_TAG_FILEITEM, valueLen, &h);
  if (err != NOERROR) return err;
  char* v = static_cast<char*>(OSLockObject(h));
  if (v == nullptr) {
    OSMemFree(h);
    return ERR_WQS_GENERAL;
  }
  BuildFileValue(v, rrv, fd);
  // Unlocked before it changes hands: the document may move or free it.
  OSUnlockObject(h);
  BLOCKID bid{h, 0};
  err = QDSItemAppendObject(hMsg->hNote, ITEM_SUMMARY, WQS_FILE_ITEM,
                            (WORD)strlen(WQS_FILE_ITEM), bid, valueLen, TRUE);
  if (err != NOERROR) OSMemFree(h);  // still ours after a failed append
  return err;
}

}  // namespace

STATUS WQSCreateFileBlock(msg_handle_t* hMsg, const file_descriptor_t* pFDes,
                          file_block_t* pFBlock) {
  if (hMsg == nullptr || pFDes == nullptr || pFBlock == nullptr) {
    return ERR_BAD_ARG;
  }
  // The name area of the descriptor and of the $FILE record hold 32 bytes.
  if (pFDes->wNameLen > WQS_MAX_FILE_NAME) return ERR_WQS_NAME_TOO_LONG;
  if (hMsg->info.wNumAttachments >= kMaxFileBlocks) return ERR_WQS_GENERAL;
  uint64_t length = pFDes->size;
  if (HasResources(pFDes)) length += pFDes->resSize;
  if (length > 0xFFFFFFFFu) return ERR_BAD_ARG;  // no 32-bit object size

  memset(pFBlock, 0, sizeof *pFBlock);
  pFBlock->dwLength = (DWORD)length;
  DBHANDLE db = hMsg->wq.dbhandle;
  STATUS err = QDSDbAllocObject(db, pFBlock->dwLength, kObjectClassFile, 0,
                                &pFBlock->RRV);
  if (err != NOERROR) return err;
  err = AppendFileItem(hMsg, pFBlock->RRV, pFDes);
  if (err != NOERROR) {
    QDSDbFreeObject(db, pFBlock->RRV);
    return err;
  }

  // From here the $FILE item and its object stay in the document whatever
  // happens: the item cannot be told apart from other $FILE items to be
  // removed alone.
  bool newTable = hMsg->info.wNumAttachments == 0;
  if (newTable) {
    hMsg->daFileBlockArray = DACreate(sizeof(file_block_t), 1);
    if (hMsg->daFileBlockArray == nullptr) return ERR_WQS_GENERAL;
  }
  pFBlock->fd = *pFDes;
  if (!DAAddEntry(&hMsg->daFileBlockArray, pFBlock)) {
    // A table made for this block alone would be lost with the count still
    // 0; give it back so the next create starts afresh.
    if (newTable) {
      DADestroy(hMsg->daFileBlockArray);
      hMsg->daFileBlockArray = nullptr;
    }
    return ERR_WQS_GENERAL;
  }
  hMsg->info.wNumAttachments++;
  return NOERROR;
}

STATUS WQSAppendFileBlock(msg_handle_t* hMsg, file_block_t* pFb,
                          DHANDLE hValue, DWORD dwLen) {
  if (hMsg == nullptr || pFb == nullptr) return ERR_BAD_ARG;
  STATUS err = QDSDbWriteObject(hMsg->wq.dbhandle, pFb->RRV, hValue,
                                pFb->dwNextWrite, dwLen);
  if (err != NOERROR) return err;
  pFb->dwNextWrite += dwLen;
  return NOERROR;
}

WORD WQSGetNumFileBlocks(msg_handle_t* hMsg) {
  return hMsg == nullptr ? 0 : hMsg->info.wNumAttachments;
}

void WQSGetFileBlockInfo(msg_handle_t* hMsg, WORD wWhichFileBlock,
                         file_descriptor_t** pFDes, file_block_t** pFBlock) {
  file_block_t* fb = nullptr;
  // An index past the table would hand out an address past its block; it
  // gets null pointers instead.
  if (hMsg != nullptr && hMsg->daFileBlockArray != nullptr &&
      wWhichFileBlock < hMsg->info.wNumAttachments &&
      wWhichFileBlock < DAGetNumberOfEntries(hMsg->daFileBlockArray)) {
    fb = static_cast<file_block_t*>(
        DAGetEntry(hMsg->daFileBlockArray, wWhichFileBlock));
  }
  if (pFBlock != nullptr) *pFBlock = fb;
  if (pFDes != nullptr) *pFDes = fb != nullptr ? &fb->fd : nullptr;
}

STATUS WQSGetFileBlockData(msg_handle_t* hMsg, file_block_t* pFBlock,
                           DWORD dwReadFrom, DHANDLE* hBuff) {
  if (hMsg == nullptr || pFBlock == nullptr || hBuff == nullptr) {
    return ERR_BAD_ARG;
  }
  return QDSDbReadObject(hMsg->wq.dbhandle, pFBlock->RRV, dwReadFrom,
                         kReadToEnd, hBuff);
}
