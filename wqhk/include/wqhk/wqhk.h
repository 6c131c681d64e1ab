// Queue housekeeping: reconversion of failed inbound messages and the state
// views through which the relay's housekeeping reads messages and their
// recipients.
#ifndef WQHK_WQHK_H_
#define WQHK_WQHK_H_

#include "wqs/wqs.h"

// The formula that selects failed inbound messages, and the batch size.
#define WQ_FAILED_FORMULA \
  "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | (WQMsgStatus = 7))"
#define WQ_RECONVERT_BATCH 100
#define WQ_STATUS_REQUEUED 6

STATUS WQInbReconvertOneMsg(msg_handle_t* pMsg);
STATUS WQInbReconvertAllMsgs(queue_handle_t* pInbQueue);
STATUS WQGlobalHouseKeeping(void);

// The relay's transmit record; declared for callers, not used here.
struct msg_record_st {
  DHANDLE hMsgRecord;
  BOOL bAttemptXmit;
  BOOL bOSHLock;
  BOOL bDoneProcess;
  DWORD dwMsgID;
  BOOL bRetry;
  WORD wRetriesLeft;
  TIMEDATE tdNextRetry;
  DWORD dwErrorCode;
  DHANDLE hpdaRecipIndex;
  dynarray_t* pdaRecipIndex;
  DHANDLE hNext;
  msg_record_st* next;
  msg_record_st* remoteNext;
};

// Housekeeping's view of a message: the store's handle first, so a pointer
// to the whole serves as a msg_handle_t pointer.
struct wq_msg_handle_t {
  msg_handle_t msg;
  char szMsgIDStr[64];
  data_stream_block_t hBodyPreHeaderStream;
  data_stream_block_t hBodyHeaderStream;
  data_stream_block_t hBodyStream;
  DWORD dwBodyScanState;
  DHANDLE hdaRecipIndex;
  dynarray_t* pdaRecipIndex;
  WORD wFailedRecipients;
  msg_record_st* mrec;
};

struct msg_state_block_t {
  WORD wState;        // "WQMsgStatus", low 16 bits; 0 when absent
  WORD wOriginator;   // dwUserInfo4, low 16 bits
  WORD msgErr;        // dwUserInfo3, low 16 bits
  char szError[512];  // "WQErrStr", zero-terminated; empty when absent
  DWORD nidMsg;       // dwUserInfo1
  BOOL bDelConfirm;   // dwUserInfo2 bit 0x1
  BOOL bTrace;        // dwUserInfo2 bit 0x2
  WORD wNumFailRecip;
  dynarray_t* daRecipIndex;
};

struct recip_state_block_t {
  WORD wState;  // recipient dwUserInfo, low 16 bits
  WORD err;     // recipient dwErrorCode, low 16 bits
  char* pName;  // name (inbound) or post-office name (outbound); not terminated
  WORD wNameLen;
};

// Appends to the pre-header stream, which the caller created on the handle
// beforehand; more data is always expected, the caller finishes the stream.
STATUS WQOutbHKAppendNDRHeader(wq_msg_handle_t* hMsg, const void* pBody,
                               DWORD dwSize);
// Message state: "WQMsgStatus", dwUserInfo3 and dwUserInfo4 are reported by
// their low 16 bits; an absent status reads 0.  The error text is cut at 511
// bytes and always zero-terminated; absent, it is empty.
STATUS WQOutbHKGetMessageState(wq_msg_handle_t* hMsg,
                               msg_state_block_t* pMsgState);
STATUS WQInbHKGetMessageState(wq_msg_handle_t* hMsg,
                              msg_state_block_t* pMsgState);
STATUS WQInbHKGetNHE(wq_msg_handle_t* hMsg, char* pNHE, WORD* pwNHE);
// Recipient info: the inbound form reports the recipient's name, the
// outbound form its post-office name.  A simple message keeps no
// post-office names, so there the outbound form reports an empty name:
// wNameLen 0 and pName pointing at a zero byte (never null, never
// undefined).  State and error are the low 16 bits of the recipient's
// dwUserInfo and dwErrorCode.
//
// Set recipient state: dwUserInfo becomes wState (high 16 bits 0), the
// other fields stay; the next update close stores it.  0, or
// ERR_WQS_RECIP_RANGE for an index past the message's recipient states
// (nothing is written then).
STATUS WOutbHKGetRecipientInfo(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                               recip_state_block_t* recipState);
STATUS WInbHKGetRecipientInfo(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                              recip_state_block_t* recipState);
STATUS WOutbHKSetRecipientState(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                                WORD wState);
STATUS WInbHKSetRecipientState(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                               WORD wState);

#endif  // WQHK_WQHK_H_
