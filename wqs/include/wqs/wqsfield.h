// Message contents: recipients, typed fields, data streams, file blocks.
#ifndef WQS_WQSFIELD_H_
#define WQS_WQSFIELD_H_

#include "wqs/wqstypes.h"

// Recipients.
//
// Appends need a building-form handle (WQSCreateMsg, WQSCopyMsg) and give
// ERR_WQS_GENERAL on one without its current lists (opened, saved, or a
// type other than 1 and 2).  Reads need an opened-form handle; an index
// past the loaded name lists (or, extended, the next-hop and PO lists) or
// past the used entries of the state array gives ERR_WQS_RECIP_RANGE and
// leaves `data` unwritten.  WQSSetRecipientData does nothing and
// WQSGetRecipientData stores nullptr for an index at or past the state
// array's used entries.
STATUS WQSAppendRecipient(msg_handle_t* hMsg, const recip_info_t* pRecipInfo);
STATUS WQSAppendSimpleMsgRecipient(msg_handle_t* hMsg,
                                   const recip_info_t* pRecipInfo);
STATUS WQSAppendExtendedMsgRecipient(msg_handle_t* hMsg,
                                     const recip_info_t* pRecipInfo);
STATUS WQSGetRecipient(msg_handle_t* hMsg, WORD wRecip,
                       recip_info_t* pRecipInfo);
STATUS WQSGetSimpleMsgRecipient(msg_handle_t* hMsg, WORD wRecip,
                                recip_info_t* pRecipInfo);
STATUS WQSGetExtendedMsgRecipient(msg_handle_t* hMsg, WORD wRecip,
                                  recip_info_t* pRecipInfo);
void WQSSetRecipientData(msg_handle_t* hMsg, WORD wRecip,
                         const recip_data_t* pNewRecipData);
void WQSGetRecipientData(msg_handle_t* hMsg, WORD wRecip,
                         recip_data_t** pRecipData);

// Typed fields.
STATUS WQSAddBool(msg_handle_t* hMsg, BOOL bUseInIndex,
                  const char* szFieldName, BOOL bValue);
STATUS WQSGetBool(msg_handle_t* hMsg, const char* szFieldName, BOOL* bValue);
STATUS WQSAddDWORD(msg_handle_t* hMsg, BOOL bUseInIndex,
                   const char* szFieldName, DWORD dwValue);
STATUS WQSGetDWORD(msg_handle_t* hMsg, const char* szFieldName,
                   DWORD* dwValue);
STATUS WQSAddTIMEDATE(msg_handle_t* hMsg, BOOL bUseInIndex,
                      const char* szFieldName, const TIMEDATE* tdValue);
STATUS WQSGetTIMEDATE(msg_handle_t* hMsg, const char* szFieldName,
                      TIMEDATE* tdValue);
STATUS WQSAddDataBlock(msg_handle_t* hMsg, BOOL bUseInIndex,
                       const char* szFieldName, const void* value, WORD wLen);
STATUS WQSGetDataBlock(msg_handle_t* hMsg, const char* szFieldName,
                       void* value, WORD wBuffSize, WORD* wLen);
STATUS WQSDeleteMsgObject(msg_handle_t* hMsg, const char* szFieldName);

// Data stream blocks.
//
// A stream name has at most 20 characters (WQS_DSB_MAX_NAME); create, open
// and delete refuse a longer one with ERR_WQS_NAME_TOO_LONG.  A chunk over
// 60416 bytes, an append to a finished or abandoned writer and a 65536th
// piece give ERR_WQS_GENERAL with the writer unchanged.  A writer that
// will not be finished (an append failed, or the caller gives up) is
// released with WQSAbandonDataStreamBlock; it is safe on a zeroed, finished
// or already abandoned handle.  Open checks the stored table before
// trusting it: a value under 58 bytes, a size that disagrees with the
// value, an entry size other than 4, no total entry, more entries than
// slots or pieces that do not add up to the total give ERR_WQS_CORRUPT;
// every other open failure (a missing stream included) is ERR_WQS_GENERAL.
// A piece shorter than the table says is never read past: the read gives
// ERR_WQS_CORRUPT.  Closing a read handle that holds nothing returns 0.
#define WQS_DSB_MORE 2  // read flag: more of the stream follows
#define WQS_DSB_END 3   // read flag: the read pointer reached the end
#define WQS_SEEK_SET 1  // WQSDSBSeek origin: absolute; any other: relative

STATUS WQSCreateDataStreamBlock(msg_handle_t* hMsg, const char* szFieldName,
                                data_stream_block_t* hDataStream);
STATUS WQSAppendDataStreamBlock(msg_handle_t* hMsg, data_stream_block_t* hDSB,
                                BOOL bMoreData, const void* value,
                                DWORD dwLen);
// Releases a write handle whose stream is abandoned (before its finish or
// after a failed append).  Pieces already stored stay in the document.
STATUS WQSAbandonDataStreamBlock(data_stream_block_t* hDSB);
STATUS WQSOpenDataStreamBlock(msg_handle_t* hMsg, const char* szFieldName,
                              data_stream_block_t* hDSB);
STATUS WQSGetDataStreamBlock(msg_handle_t* hMsg, data_stream_block_t* hDSB,
                             WORD* wReadFlag, void* pRetValue,
                             DWORD dwBuffLen, DWORD* dwRetLen);
void WQSDSBSeek(data_stream_block_t* hDSB, DWORD dwOffset, DWORD dwOrigin);
DWORD WQSGetDSBReadPos(data_stream_block_t* hDSB);
DWORD WQSGetSizeOfDataStreamBlock(data_stream_block_t* hDSB);
STATUS WQSCloseDataStreamBlock(data_stream_block_t* hDSB);
STATUS WQSDeleteDataStreamBlock(msg_handle_t* hMsg, const char* szFieldName);

// File blocks.
//
// WQSCreateFileBlock refuses a name over 32 bytes with ERR_WQS_NAME_TOO_LONG
// before anything is allocated; a failure up to and including the $FILE
// append frees the object (and the value block) again.  For a file with
// resources (fileType 2) the $FILE FileSize is the data part alone; the
// resources follow it at ResourcesStart = size.  WQSGetFileBlockInfo gives
// null pointers for an index past the table.
#define WQS_FILE_ITEM "$FILE"
#define WQS_FILETYPE_MACEXT ((WORD)2)
#define WQS_HOSTTYPE_MACEXT ((WORD)0x0200)

STATUS WQSCreateFileBlock(msg_handle_t* hMsg, const file_descriptor_t* pFDes,
                          file_block_t* pFBlock);
STATUS WQSAppendFileBlock(msg_handle_t* hMsg, file_block_t* pFb,
                          DHANDLE hValue, DWORD dwLen);
WORD WQSGetNumFileBlocks(msg_handle_t* hMsg);
void WQSGetFileBlockInfo(msg_handle_t* hMsg, WORD wWhichFileBlock,
                         file_descriptor_t** pFDes, file_block_t** pFBlock);
STATUS WQSGetFileBlockData(msg_handle_t* hMsg, file_block_t* pFBlock,
                           DWORD dwReadFrom, DHANDLE* hBuff);

#endif  // WQS_WQSFIELD_H_
