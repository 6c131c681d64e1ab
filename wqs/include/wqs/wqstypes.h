// Records of the work-queue store.  The stored records are memory images,
// little-endian and packed on 2-byte boundaries; their sizes and offsets are
// the queue's on-disk format and are pinned here at compile time.
#ifndef WQS_WQSTYPES_H_
#define WQS_WQSTYPES_H_

#include <cstddef>

#include "tavlo/runtime.h"
#include "tavlo/status.h"
#include "tavlo/store.h"
#include "tavlo/types.h"
#include "wqs/dynarray.h"

// Memory block type tags, one per allocation site.
#define WQS_TAG_MSGLIST ((WORD)0x33DE)
#define WQS_TAG_RECIPDATA ((WORD)0x33DF)
#define WQS_TAG_RECIPLIST ((WORD)0x33E0)
#define WQS_TAG_NHELIST ((WORD)0x33E1)
#define WQS_TAG_POLIST ((WORD)0x33E2)
#define WQS_TAG_ATTACHINFO ((WORD)0x33E3)
#define WQS_TAG_MSGCOPY ((WORD)0x33E4)
#define WQS_TAG_ARRAYVALUE ((WORD)0x33E6)
#define WQS_TAG_STREAMTABLE ((WORD)0x33E7)
#define WQS_TAG_FILEITEM ((WORD)0x33E8)
#define WQS_TAG_MOVEDLIST ((WORD)0x73E5)

// Message types.
#define WQS_MSG_SIMPLE ((WORD)1)
#define WQS_MSG_EXTENDED ((WORD)2)

// Search modes of WQSCreateMsgList.
#define WQS_SEARCH_VIEW ((WORD)1)
#define WQS_SEARCH_FORMULA ((WORD)2)

// A simple message's recipient list takes a name while its byte length plus
// the name's length stays below this.  Also the largest stream chunk/piece.
#define WQS_MAX_LIST_BYTES 60416u  // 0xEC00
#define WQS_DSB_MAX_CHUNK 60416u
#define WQS_DSB_BUFFER_SIZE 61440u  // 0xF000
#define WQS_DSB_MAX_NAME 20
#define WQS_MAX_FILE_NAME 32

// Size of the type code plus user-data header that precede an array image.
#define WQS_ARRAY_ITEM_PREFIX 34

// Item names.
#define WQS_ITEM_MSGINFO "WQSMsgInfo"
#define WQS_ITEM_RECIP "WQSRecip"
#define WQS_ITEM_RECIPDATA "WQSRecipData"
#define WQS_ITEM_NHE "WQSNHE"
#define WQS_ITEM_PO "WQSPO"
#define WQS_ITEM_ATTACHINFO "WQSAttachInfo"
#define WQS_ITEM_DSBARRAY "WQSDSBArray"
#define WQS_ITEM_DSBSIZE "WQSDSBSize"
#define WQS_HEADER_MSGINFO "WQS_MSG_INFO_BLOCK"
#define WQS_HEADER_ATTACH "WQS_MSG_ATTACH_BLOCK"

#pragma pack(push, 2)

struct userdata_header_t {
  BYTE itemNameLength;  // always 32, the size of the whole header
  char userItemName[31];
};
static_assert(sizeof(userdata_header_t) == 32);

struct user_msg_info_t {
  DWORD dwSize;
  DWORD dwQueueMsgID;
  WORD wNumRecip;
  WORD wPriority;
  WORD wFormat;
  WORD wRetries;
  TIMEDATE tdNextRetry;
  DWORD dwFailureReason;
  DWORD dwUserInfo1;
  DWORD dwUserInfo2;
  DWORD dwUserInfo3;
  DWORD dwUserInfo4;
  DWORD dwUserInfo5;
};
static_assert(sizeof(user_msg_info_t) == 48);
static_assert(offsetof(user_msg_info_t, dwQueueMsgID) == 4);
static_assert(offsetof(user_msg_info_t, wNumRecip) == 8);
static_assert(offsetof(user_msg_info_t, wPriority) == 10);
static_assert(offsetof(user_msg_info_t, wFormat) == 12);
static_assert(offsetof(user_msg_info_t, wRetries) == 14);
static_assert(offsetof(user_msg_info_t, tdNextRetry) == 16);
static_assert(offsetof(user_msg_info_t, dwFailureReason) == 24);
static_assert(offsetof(user_msg_info_t, dwUserInfo1) == 28);
static_assert(offsetof(user_msg_info_t, dwUserInfo2) == 32);
static_assert(offsetof(user_msg_info_t, dwUserInfo3) == 36);
static_assert(offsetof(user_msg_info_t, dwUserInfo4) == 40);
static_assert(offsetof(user_msg_info_t, dwUserInfo5) == 44);

struct msg_info_t {
  userdata_header_t udh;
  WORD wMsgType;
  WORD wNumAttachments;
  WORD wNumRecipLists;
  user_msg_info_t user;
};
static_assert(sizeof(msg_info_t) == 86);
static_assert(offsetof(msg_info_t, wMsgType) == 32);
static_assert(offsetof(msg_info_t, wNumAttachments) == 34);
static_assert(offsetof(msg_info_t, wNumRecipLists) == 36);
static_assert(offsetof(msg_info_t, user) == 38);

struct recip_data_t {
  DWORD dwRecipType;
  DWORD dwErrorCode;
  TIMEDATE tdNextRetry;
  DWORD dwUserInfo;  // the recipient's state word
  WORD wRetries;
};
static_assert(sizeof(recip_data_t) == 22);
static_assert(offsetof(recip_data_t, dwErrorCode) == 4);
static_assert(offsetof(recip_data_t, tdNextRetry) == 8);
static_assert(offsetof(recip_data_t, dwUserInfo) == 16);
static_assert(offsetof(recip_data_t, wRetries) == 20);

struct file_descriptor_t {
  WORD fileType;  // 2: with resources (Mac extension); else plain
  char fileName[32];
  WORD wNameLen;
  DWORD size;
  WORD attributes;
  WORD flags;
  TIMEDATE created;
  TIMEDATE modified;
  DWORD creator;
  DWORD type;
  DWORD resSize;
};
static_assert(sizeof(file_descriptor_t) == 72);
static_assert(offsetof(file_descriptor_t, fileName) == 2);
static_assert(offsetof(file_descriptor_t, wNameLen) == 34);
static_assert(offsetof(file_descriptor_t, size) == 36);
static_assert(offsetof(file_descriptor_t, attributes) == 40);
static_assert(offsetof(file_descriptor_t, flags) == 42);
static_assert(offsetof(file_descriptor_t, created) == 44);
static_assert(offsetof(file_descriptor_t, modified) == 52);
static_assert(offsetof(file_descriptor_t, creator) == 60);
static_assert(offsetof(file_descriptor_t, type) == 64);
static_assert(offsetof(file_descriptor_t, resSize) == 68);

struct file_block_t {
  DWORD RRV;          // object id in the queue database
  DWORD dwNextWrite;  // offset of the next write
  DWORD dwLength;     // size, plus resSize for type 2
  file_descriptor_t fd;
};
static_assert(sizeof(file_block_t) == 84);
static_assert(offsetof(file_block_t, dwNextWrite) == 4);
static_assert(offsetof(file_block_t, dwLength) == 8);
static_assert(offsetof(file_block_t, fd) == 12);

#pragma pack(pop)

// Naming of a queue.
struct queue_descriptor_t {
  char szQueueName[256];
  char szQueueTemplate[256];
  char szQueueTitle[33];
};

// An open queue.  A plain value: lists and messages keep copies.
struct queue_handle_t {
  DBHANDLE dbhandle;
  TIMEDATE tdLastMod;
};

// The message handle, in its building form (create, copy) or opened form
// (open).  See docs/architecture.md for which fields each form uses.
struct msg_handle_t {
  queue_handle_t wq;
  NOTEHANDLE hNote;
  msg_info_t info;
  WORD wCurRecipListLen;
  DHANDLE hCurRecipList;
  dynarray_t* daRecipListBIDs;
  dynarray_t* daRecipListPtrs;
  WORD wCurNHEListLen;
  DHANDLE hCurNHEList;
  BLOCKID bidNHEList;
  void* pNHEList;
  WORD wCurPOListLen;
  DHANDLE hCurPOList;
  BLOCKID bidPOList;
  void* pPOList;
  DHANDLE hRecipData;
  dynarray_t* daRecipData;
  BOOL bRecipDataDirty;
  dynarray_t* daFileBlockArray;
  BLOCKID bidFileBlockArray;
};

// A batch of message ids.
struct msglist_handle_t {
  queue_handle_t wq;
  DHANDLE hList;
  DWORD* pList;
  WORD wNumMsgs;
  WORD wMaxMsgs;
};

// A recipient, as appended or as read (pointers then point into the
// message's loaded lists and are valid until the message is closed).
struct recip_info_t {
  char* pName;
  WORD wNameLen;
  char* pNextHop;
  WORD wNextHopLen;
  char* pPOName;
  WORD wPONameLen;
  recip_data_t data;
};

// One data stream, as a write handle or a read handle.
struct data_stream_block_t {
  char name[32];
  WORD wSeqNum;
  DHANDLE hBuff;
  void* pBuff;
  DWORD dwBuffSize;
  DWORD dwDSBSize;
  DWORD dwDSBReadPtr;
  DHANDLE hStreamBlocks;
  dynarray_t* daStreamBlocks;
};

#endif  // WQS_WQSTYPES_H_
