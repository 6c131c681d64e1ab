// Data stream blocks: byte streams of any length kept in a message as
// numbered text items ("pieces") of at most 60416 bytes, described by a
// piece-size table item and a total-size item.
//
// Stored items of a stream N: N0, N1, ... (type text, the bytes as
// appended), WQSDSBArrayN (the piece-size table as a dynamic-array item:
// entry 0 the total, entry k the size of piece k-1) and WQSDSBSizeN (the
// total as an 8-byte double).  The table and the size are written last, so
// a stream whose writer never finished has no table and cannot be opened.
//
// The writer gathers chunks in one buffer so each piece costs one item
// append.  The reader holds only a copy of the small table and copies from
// the piece values, locked in place, straight into the caller's buffer.

#include <cstring>

#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqs/dynarray.h"
#include "wqs/wqsfield.h"
#include "wqs/wqsmsg.h"
#include "wqsutil.h"

namespace {

// Every derived item name is built in a buffer of this size; a stream name
// of at most WQS_DSB_MAX_NAME characters keeps the longest of them
// ("WQSDSBArray" + name) within it.
constexpr size_t kNameBuf = 32;
// Piece numbers and table indexes are 16-bit: at most 65535 pieces.
constexpr DWORD kMaxPieces = 0xFFFF;

// Checks the caller's stream name and copies it into the handle.
STATUS TakeName(const char* szFieldName, data_stream_block_t* hDSB) {
  if (szFieldName == nullptr) return ERR_BAD_ARG;
  size_t len = strnlen(szFieldName, WQS_DSB_MAX_NAME + 1);
  if (len > WQS_DSB_MAX_NAME) return ERR_WQS_NAME_TOO_LONG;
  memcpy(hDSB->name, szFieldName, len);
  hDSB->name[len] = 0;
  return NOERROR;
}

WORD PieceName(char* buf, const char* stream, DWORD piece) {
  return WQSUtilNameNumber(buf, kNameBuf, stream, piece);
}

// Stores the write buffer as piece wSeqNum and records it in the table.
STATUS StorePiece(msg_handle_t* hMsg, data_stream_block_t* hDSB) {
  if (hDSB->wSeqNum >= kMaxPieces) return ERR_WQS_GENERAL;
  char name[kNameBuf];
  WORD nameLen = PieceName(name, hDSB->name, hDSB->wSeqNum);
  STATUS err = QDSItemAppend(hMsg->hNote, 0, name, nameLen, TYPE_TEXT,
                             hDSB->pBuff, hDSB->dwBuffSize);
  if (err != NOERROR) return err;
  DWORD pieceSize = hDSB->dwBuffSize;
  if (!DAAddEntry(&hDSB->daStreamBlocks, &pieceSize)) return ERR_WQS_GENERAL;
  hDSB->dwDSBSize += pieceSize;
  hDSB->dwBuffSize = 0;
  hDSB->wSeqNum++;
  return NOERROR;
}

// Writes the table and the size items and releases the writer's memory.
STATUS FinishStream(msg_handle_t* hMsg, data_stream_block_t* hDSB) {
  if (hDSB->dwBuffSize > 0) {
    STATUS err = StorePiece(hMsg, hDSB);
    if (err != NOERROR) return err;
  }
  OSUnlockObject(hDSB->hBuff);
  STATUS freed = OSMemFree(hDSB->hBuff);
  hDSB->hBuff = NULLHANDLE;
  hDSB->pBuff = nullptr;
  if (freed != NOERROR) return ERR_WQS_GENERAL;

  DWORD total = hDSB->dwDSBSize;
  DAChangeEntry(hDSB->daStreamBlocks, 0, &total);

  char name[kNameBuf];
  WORD nameLen = WQSUtilNameConcat(name, sizeof name, WQS_ITEM_DSBARRAY,
                                   hDSB->name);
  STATUS err = WQSAppendDynArrayToNote(hMsg->hNote, hDSB->daStreamBlocks,
                                       name, nameLen, name, nameLen);
  if (err != NOERROR) return err;
  BOOL destroyed = DADestroy(hDSB->daStreamBlocks);
  hDSB->daStreamBlocks = nullptr;
  if (!destroyed) return ERR_WQS_GENERAL;

  nameLen = WQSUtilNameConcat(name, sizeof name, WQS_ITEM_DSBSIZE, hDSB->name);
  double size = (double)total;
  return QDSItemAppend(hMsg->hNote, 0, name, nameLen, TYPE_NUMBER, &size,
                       sizeof size);
}

// The stored piece-size table is trusted by every later read, so it is
// checked whole before it is used: its size matches the value, its entries
// are 32-bit, it has the total, at most 65535 pieces, and the pieces add up
// to the total.
bool TableIsSound(const char* image, DWORD len) {
  if (!WQSUtilArrayImageSound(image, len, sizeof(DWORD), 1)) return false;
  dynarray_t h;
  memcpy(&h, image, sizeof h);
  if (h.dwSize != len || h.dwUsedEntries - 1 > kMaxPieces) return false;
  const char* entries = image + DA_HEADER_SIZE;
  uint64_t sum = 0;
  for (DWORD k = 1; k < h.dwUsedEntries; k++) {
    sum += WQSLoadDword(entries + k * sizeof(DWORD));
  }
  return sum == WQSLoadDword(entries);
}

DWORD TableEntry(dynarray_t* da, DWORD k) {
  return WQSLoadDword(DAGetEntry(da, (WORD)k));
}

// A piece value locked in place for reading.
struct Piece {
  BLOCKID bid{};
  const char* data = nullptr;  // first byte after the type code
  DWORD remaining = 0;         // bytes left to read from `data`
  bool locked = false;

  void Unlock() {
    if (locked) OSUnlockBlock(bid);
    locked = false;
  }
};

// Looks up piece `number` of the stream and locks its value, positioned
// `offset` bytes in.  A value shorter than the table says is corrupt and
// is never read past.
STATUS LockPiece(msg_handle_t* hMsg, const data_stream_block_t* hDSB,
                 DWORD number, DWORD offset, Piece* piece) {
  if (number > kMaxPieces) return ERR_WQS_CORRUPT;
  char name[kNameBuf];
  WORD nameLen = PieceName(name, hDSB->name, number);
  DWORD valueLen = 0;
  STATUS err = QDSItemInfo(hMsg->hNote, name, nameLen, nullptr, &piece->bid,
                           &valueLen);
  if (err != NOERROR) return err;
  if (valueLen < 2 || valueLen - 2 < offset) return ERR_WQS_CORRUPT;
  const char* value = OSLockBlock(piece->bid);
  if (value == nullptr) return ERR_WQS_GENERAL;
  piece->locked = true;
  piece->data = value + 2 + offset;
  piece->remaining = valueLen - 2 - offset;
  return NOERROR;
}

}  // namespace

STATUS WQSCreateDataStreamBlock(msg_handle_t* hMsg, const char* szFieldName,
                                data_stream_block_t* hDataStream) {
  if (hDataStream == nullptr) return ERR_BAD_ARG;
  memset(hDataStream, 0, sizeof *hDataStream);
  STATUS err = TakeName(szFieldName, hDataStream);
  if (err != NOERROR) return err;

  DHANDLE hBuff = NULLHANDLE;
  err = OSMemAlloc(WQS_TAG_ARRAYVALUE, WQS_DSB_BUFFER_SIZE, &hBuff);
  if (err != NOERROR) return err;
  void* pBuff = OSLockObject(hBuff);
  if (pBuff == nullptr) {
    OSMemFree(hBuff);
    return ERR_WQS_GENERAL;
  }
  dynarray_t* table = DACreate(sizeof(DWORD), 1);
  DWORD total = 0;
  if (table == nullptr || !DAAddEntry(&table, &total)) {
    if (table != nullptr) DADestroy(table);
    OSUnlockObject(hBuff);
    OSMemFree(hBuff);
    return ERR_WQS_GENERAL;
  }
  hDataStream->hBuff = hBuff;
  hDataStream->pBuff = pBuff;
  hDataStream->daStreamBlocks = table;
  return NOERROR;
}

STATUS WQSAppendDataStreamBlock(msg_handle_t* hMsg, data_stream_block_t* hDSB,
                                BOOL bMoreData, const void* value,
                                DWORD dwLen) {
  if (hMsg == nullptr || hDSB == nullptr) return ERR_BAD_ARG;
  if (dwLen > WQS_DSB_MAX_CHUNK) return ERR_WQS_GENERAL;
  // A finished or abandoned write handle holds no buffer and takes no more.
  if (hDSB->pBuff == nullptr || hDSB->daStreamBlocks == nullptr) {
    return ERR_WQS_GENERAL;
  }
  if (dwLen > 0 && value == nullptr) return ERR_BAD_ARG;

  // Chunks are never split: a chunk that does not fit starts a new piece.
  if (hDSB->dwBuffSize + dwLen > WQS_DSB_MAX_CHUNK) {
    STATUS err = StorePiece(hMsg, hDSB);
    if (err != NOERROR) return err;
  }
  if (dwLen > 0) {
    memcpy(static_cast<char*>(hDSB->pBuff) + hDSB->dwBuffSize, value, dwLen);
    hDSB->dwBuffSize += dwLen;
  }
  if (bMoreData != 0) return NOERROR;
  return FinishStream(hMsg, hDSB);
}

STATUS WQSAbandonDataStreamBlock(data_stream_block_t* hDSB) {
  if (hDSB == nullptr) return ERR_BAD_ARG;
  STATUS first = NOERROR;
  if (hDSB->hBuff != NULLHANDLE) {
    if (hDSB->pBuff != nullptr) OSUnlockObject(hDSB->hBuff);
    if (OSMemFree(hDSB->hBuff) != NOERROR) first = ERR_WQS_GENERAL;
  }
  if (hDSB->hStreamBlocks != NULLHANDLE) {
    // A read handle: its table is a plain locked copy.
    OSUnlockObject(hDSB->hStreamBlocks);
    STATUS err = OSMemFree(hDSB->hStreamBlocks);
    if (first == NOERROR) first = err;
  } else if (hDSB->daStreamBlocks != nullptr) {
    if (!DADestroy(hDSB->daStreamBlocks) && first == NOERROR) {
      first = ERR_WQS_GENERAL;
    }
  }
  hDSB->hBuff = NULLHANDLE;
  hDSB->pBuff = nullptr;
  hDSB->dwBuffSize = 0;
  hDSB->hStreamBlocks = NULLHANDLE;
  hDSB->daStreamBlocks = nullptr;
  return first;
}

STATUS WQSOpenDataStreamBlock(msg_handle_t* hMsg, const char* szFieldName,
                              data_stream_block_t* hDSB) {
  if (hMsg == nullptr || hDSB == nullptr) return ERR_BAD_ARG;
  memset(hDSB, 0, sizeof *hDSB);
  STATUS err = TakeName(szFieldName, hDSB);
  if (err != NOERROR) return err;

  char name[kNameBuf];
  WORD nameLen = WQSUtilNameConcat(name, sizeof name, WQS_ITEM_DSBARRAY,
                                   hDSB->name);
  BLOCKID bid;
  DWORD valueLen = 0;
  // A missing table (no such stream, or one never finished) and every other
  // lookup failure read as the library's general failure.
  if (QDSItemInfo(hMsg->hNote, name, nameLen, nullptr, &bid, &valueLen) !=
      NOERROR) {
    return ERR_WQS_GENERAL;
  }
  if (valueLen < WQS_ARRAY_ITEM_PREFIX + DA_HEADER_SIZE) return ERR_WQS_CORRUPT;
  const char* value = OSLockBlock(bid);
  if (value == nullptr) return ERR_WQS_GENERAL;
  const char* image = value + WQS_ARRAY_ITEM_PREFIX;
  DWORD len = valueLen - WQS_ARRAY_ITEM_PREFIX;
  if (!TableIsSound(image, len)) {
    OSUnlockBlock(bid);
    return ERR_WQS_CORRUPT;
  }

  DHANDLE h = NULLHANDLE;
  if (OSMemAlloc(WQS_TAG_STREAMTABLE, len, &h) != NOERROR) {
    OSUnlockBlock(bid);
    return ERR_WQS_GENERAL;
  }
  void* copy = OSLockObject(h);
  if (copy == nullptr) {
    OSMemFree(h);
    OSUnlockBlock(bid);
    return ERR_WQS_GENERAL;
  }
  memcpy(copy, image, len);
  OSUnlockBlock(bid);

  hDSB->hStreamBlocks = h;
  hDSB->daStreamBlocks = static_cast<dynarray_t*>(copy);
  hDSB->dwDSBSize = TableEntry(hDSB->daStreamBlocks, 0);
  hDSB->dwDSBReadPtr = 0;
  return NOERROR;
}

STATUS WQSGetDataStreamBlock(msg_handle_t* hMsg, data_stream_block_t* hDSB,
                             WORD* wReadFlag, void* pRetValue,
                             DWORD dwBuffLen, DWORD* dwRetLen) {
  if (hMsg == nullptr || hDSB == nullptr || wReadFlag == nullptr ||
      dwRetLen == nullptr || (dwBuffLen > 0 && pRetValue == nullptr)) {
    return ERR_BAD_ARG;
  }
  if (hDSB->dwDSBSize == 0) {
    *dwRetLen = 0;
    *wReadFlag = WQS_DSB_END;
    return NOERROR;
  }
  if (hDSB->daStreamBlocks == nullptr) return ERR_WQS_GENERAL;

  // The piece that holds the read pointer: the first whose end is at or
  // past it (so a pointer on a boundary selects the earlier piece at its
  // end).  A pointer beyond the stream falls back to piece 0; the loop
  // below then ends at once.
  dynarray_t* table = hDSB->daStreamBlocks;
  DWORD entries = DAGetNumberOfEntries(table);
  DWORD piece = 0;
  DWORD offset = 0;
  uint64_t sum = 0;
  for (DWORD k = 1; k < entries; k++) {
    DWORD size = TableEntry(table, k);
    sum += size;
    if (sum >= hDSB->dwDSBReadPtr) {
      piece = k - 1;
      offset = hDSB->dwDSBReadPtr - (DWORD)(sum - size);
      break;
    }
  }

  Piece p;
  STATUS err = LockPiece(hMsg, hDSB, piece, offset, &p);
  if (err != NOERROR) return err;

  char* out = static_cast<char*>(pRetValue);
  DWORD count = 0;
  *dwRetLen = 0;
  while (dwBuffLen > 0) {
    if (hDSB->dwDSBReadPtr >= hDSB->dwDSBSize) {
      p.Unlock();
      *wReadFlag = WQS_DSB_END;
      return NOERROR;
    }
    if (p.remaining == 0) {
      p.Unlock();
      err = LockPiece(hMsg, hDSB, ++piece, 0, &p);
      if (err != NOERROR) return err;  // count and pointer cover what was read
      continue;
    }
    DWORD n = dwBuffLen < p.remaining ? dwBuffLen : p.remaining;
    memcpy(out + count, p.data, n);
    p.data += n;
    p.remaining -= n;
    dwBuffLen -= n;
    count += n;
    *dwRetLen = count;
    hDSB->dwDSBReadPtr += n;
  }
  p.Unlock();
  if (hDSB->dwDSBReadPtr < hDSB->dwDSBSize) *wReadFlag = WQS_DSB_MORE;
  return NOERROR;
}

void WQSDSBSeek(data_stream_block_t* hDSB, DWORD dwOffset, DWORD dwOrigin) {
  if (hDSB == nullptr) return;
  if (dwOrigin == WQS_SEEK_SET) {
    hDSB->dwDSBReadPtr = dwOffset;
  } else {
    hDSB->dwDSBReadPtr += dwOffset;  // modulo 2^32: a negative offset moves back
  }
}

DWORD WQSGetDSBReadPos(data_stream_block_t* hDSB) {
  return hDSB == nullptr ? 0 : hDSB->dwDSBReadPtr;
}

DWORD WQSGetSizeOfDataStreamBlock(data_stream_block_t* hDSB) {
  return hDSB == nullptr ? 0 : hDSB->dwDSBSize;
}

STATUS WQSCloseDataStreamBlock(data_stream_block_t* hDSB) {
  if (hDSB == nullptr) return ERR_BAD_ARG;
  if (hDSB->hStreamBlocks == NULLHANDLE) return NOERROR;  // nothing held
  OSUnlockObject(hDSB->hStreamBlocks);
  STATUS err = OSMemFree(hDSB->hStreamBlocks);
  hDSB->hStreamBlocks = NULLHANDLE;
  hDSB->daStreamBlocks = nullptr;
  return err;
}

STATUS WQSDeleteDataStreamBlock(msg_handle_t* hMsg, const char* szFieldName) {
  if (hMsg == nullptr) return ERR_BAD_ARG;
  data_stream_block_t scratch;
  STATUS err = TakeName(szFieldName, &scratch);
  if (err != NOERROR) return err;
  const char* stream = scratch.name;

  char name[kNameBuf];
  WORD nameLen = WQSUtilNameConcat(name, sizeof name, WQS_ITEM_DSBSIZE, stream);
  err = WQSUtilDeleteItem(hMsg->hNote, name, nameLen);
  if (err != NOERROR) return err;
  nameLen = WQSUtilNameConcat(name, sizeof name, WQS_ITEM_DSBARRAY, stream);
  err = WQSUtilDeleteItem(hMsg->hNote, name, nameLen);
  if (err != NOERROR) return err;

  // Pieces run from 0 without gaps; the first missing number ends the
  // stream (an unfinished stream's pieces go the same way).
  for (DWORD piece = 0; piece <= kMaxPieces; piece++) {
    nameLen = PieceName(name, stream, piece);
    if (QDSItemInfo(hMsg->hNote, name, nameLen, nullptr, nullptr, nullptr) !=
        NOERROR) {
      return NOERROR;
    }
    err = WQSUtilDeleteItem(hMsg->hNote, name, nameLen);
    if (err != NOERROR) return err;
  }
  return NOERROR;
}
