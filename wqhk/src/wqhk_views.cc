// Housekeeping state views: what the relay's housekeeping reads of an open
// queue message and its recipients, the one recipient change it makes, and
// the non-delivery header it appends to an outbound message.
//
// Everything here goes through the store's message operations; the views
// hold nothing and free nothing of the handle.

#include <cstring>

#include "wqhk/wqhk.h"

namespace {

constexpr const char* kItemMsgStatus = "WQMsgStatus";
constexpr const char* kItemErrStr = "WQErrStr";
constexpr const char* kItemIBNHE = "WQIBNHE";

// The error text is read into a 512-byte field with room kept for the
// terminator.
constexpr WORD kErrorTextMax = sizeof(msg_state_block_t::szError) - 1;
constexpr WORD kNHEBuffer = 256;

// Where a recipient has no name of the asked kind, the view reports an
// empty one: length 0 and a pointer that is safe to read (and never
// written through).
char kEmptyName[1] = {0};

constexpr WORD Low16(DWORD v) { return (WORD)(v & 0xFFFF); }

// Both forms of the message-state view are the same: the status item, the
// message info words and the error text.
STATUS GetMessageState(wq_msg_handle_t* hMsg, msg_state_block_t* pMsgState) {
  if (hMsg == nullptr || pMsgState == nullptr) return ERR_BAD_ARG;
  msg_handle_t* msg = &hMsg->msg;

  // An absent status reads as 0; the read's result is not an error here.
  DWORD status = 0;
  WQSGetDWORD(msg, kItemMsgStatus, &status);
  pMsgState->wState = Low16(status);

  pMsgState->wNumFailRecip = hMsg->wFailedRecipients;
  pMsgState->daRecipIndex = hMsg->pdaRecipIndex;

  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(msg, &info);
  pMsgState->wOriginator = Low16(info->dwUserInfo4);
  pMsgState->msgErr = Low16(info->dwUserInfo3);
  pMsgState->nidMsg = info->dwUserInfo1;
  pMsgState->bDelConfirm = (info->dwUserInfo2 & 0x1) ? TRUE : FALSE;
  pMsgState->bTrace = (info->dwUserInfo2 & 0x2) ? TRUE : FALSE;

  WORD len = 0;
  pMsgState->szError[0] = 0;
  STATUS err = WQSGetDataBlock(msg, kItemErrStr, pMsgState->szError,
                               kErrorTextMax, &len);
  if (err != NOERROR) return err;
  // A longer text comes back cut at the field's last byte but one, so the
  // terminator always fits.
  if (len > kErrorTextMax) len = kErrorTextMax;
  pMsgState->szError[len] = 0;
  return NOERROR;
}

// Both forms of the recipient view; `postOffice` picks the name reported.
STATUS GetRecipientInfo(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                        recip_state_block_t* recipState, bool postOffice) {
  if (hMsg == nullptr || recipState == nullptr) return ERR_BAD_ARG;
  recip_info_t ri;
  memset(&ri, 0, sizeof ri);
  STATUS err = WQSGetRecipient(&hMsg->msg, wRecipIndex, &ri);
  if (err != NOERROR) return err;

  recipState->wState = Low16(ri.data.dwUserInfo);
  recipState->err = Low16(ri.data.dwErrorCode);
  char* name = postOffice ? ri.pPOName : ri.pName;
  WORD nameLen = postOffice ? ri.wPONameLen : ri.wNameLen;
  // A simple message keeps no post-office names, so the recipient read
  // leaves that pointer unset: report an empty name rather than anything
  // undefined.
  if (name == nullptr) {
    name = kEmptyName;
    nameLen = 0;
  }
  recipState->pName = name;
  recipState->wNameLen = nameLen;
  return NOERROR;
}

// Both forms of the recipient-state change: the whole state word becomes
// the 16-bit state, every other field of the recipient stays.
STATUS SetRecipientState(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                         WORD wState) {
  if (hMsg == nullptr) return ERR_BAD_ARG;
  msg_handle_t* msg = &hMsg->msg;
  // The state table is indexed without a check by the store; an index past
  // it would write past the block.
  if (msg->daRecipData == nullptr) return ERR_WQS_GENERAL;
  if (wRecipIndex >= DAGetNumberOfEntries(msg->daRecipData)) {
    return ERR_WQS_RECIP_RANGE;
  }
  recip_data_t* current = nullptr;
  WQSGetRecipientData(msg, wRecipIndex, &current);
  recip_data_t data;
  memcpy(&data, current, sizeof data);
  data.dwUserInfo = wState;
  WQSSetRecipientData(msg, wRecipIndex, &data);
  return NOERROR;
}

}  // namespace

STATUS WQOutbHKAppendNDRHeader(wq_msg_handle_t* hMsg, const void* pBody,
                               DWORD dwSize) {
  if (hMsg == nullptr) return ERR_BAD_ARG;
  return WQSAppendDataStreamBlock(&hMsg->msg, &hMsg->hBodyPreHeaderStream,
                                  TRUE, pBody, dwSize);
}

STATUS WQOutbHKGetMessageState(wq_msg_handle_t* hMsg,
                               msg_state_block_t* pMsgState) {
  return GetMessageState(hMsg, pMsgState);
}

STATUS WQInbHKGetMessageState(wq_msg_handle_t* hMsg,
                              msg_state_block_t* pMsgState) {
  return GetMessageState(hMsg, pMsgState);
}

STATUS WQInbHKGetNHE(wq_msg_handle_t* hMsg, char* pNHE, WORD* pwNHE) {
  if (hMsg == nullptr || pNHE == nullptr || pwNHE == nullptr) {
    return ERR_BAD_ARG;
  }
  return WQSGetDataBlock(&hMsg->msg, kItemIBNHE, pNHE, kNHEBuffer, pwNHE);
}

STATUS WOutbHKGetRecipientInfo(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                               recip_state_block_t* recipState) {
  return GetRecipientInfo(hMsg, wRecipIndex, recipState, true);
}

STATUS WInbHKGetRecipientInfo(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                              recip_state_block_t* recipState) {
  return GetRecipientInfo(hMsg, wRecipIndex, recipState, false);
}

STATUS WOutbHKSetRecipientState(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                                WORD wState) {
  return SetRecipientState(hMsg, wRecipIndex, wState);
}

STATUS WInbHKSetRecipientState(wq_msg_handle_t* hMsg, WORD wRecipIndex,
                               WORD wState) {
  return SetRecipientState(hMsg, wRecipIndex, wState);
}
