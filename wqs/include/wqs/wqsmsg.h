// Message life cycle: open, update, close; lists and search; create, save,
// discard, purge, requeue; copy.
#ifndef WQS_WQSMSG_H_
#define WQS_WQSMSG_H_

#include "wqs/wqstypes.h"

// Open, update and close.
STATUS WQSOpenMsgByMsgID(queue_handle_t* hWQueue, DWORD dwMsgID,
                         msg_handle_t* hMsg);
STATUS WQSCloseMsg(msg_handle_t* hMsg);
STATUS WQSCloseMsgAndUpdate(msg_handle_t* hMsg);
void WQSGetMsgInfo(msg_handle_t* hMsg, user_msg_info_t** pMsgInfo);
void WQSSetMsgInfo(msg_handle_t* hMsg, const user_msg_info_t* pMsgInfo);
STATUS WQSCloseMsgObjects(msg_handle_t* hMsg);
STATUS WQSAppendDynArrayToNote(NOTEHANDLE hNote, dynarray_t* pDa,
                               const char* pItemName, WORD wItemNameLen,
                               const char* pHeaderName, WORD wHeaderNameLen);

// Lists and search.
STATUS WQSCreateMsgList(queue_handle_t* hWQueue, WORD wMaxMsgs,
                        WORD wSearchMode, const char* szSearchCriteria,
                        msglist_handle_t* hMsgList, WORD* wMsgCount);
STATUS WQSOpenMsg(msglist_handle_t* hMsgList, WORD wIndex,
                  msg_handle_t* hMsg);
STATUS WQSCloseMsgList(msglist_handle_t* hMsgList);
STATUS WQSSearchQDSCallBack(void* pArg, SEARCH_MATCH* pSearchInfo,
                            ITEM_TABLE* pSummaryInfo);

// Creation, save and disposal.
STATUS WQSCreateMsg(queue_handle_t* hWQueue, WORD wMsgType,
                    msg_handle_t* phMsg);
STATUS WQSCloseAndSaveMsg(msg_handle_t* hMsg);
STATUS WQSCloseAndDiscardMsg(msg_handle_t* hMsg);
STATUS WQSCloseMsgAndPurge(msg_handle_t* hMsg);
STATUS WQSCloseMsgAndReQueue(msg_handle_t* hMsg);

// Copy.
STATUS WQSCopyMsg(queue_handle_t* pSourceQueue, queue_handle_t* pTargetQueue,
                  msg_handle_t* pSourceMsg, BOOL bRetainRecips,
                  WORD wNewMsgType, msg_handle_t* pNewMsg);
STATUS WQSMoveListFromNoteToMem(NOTEHANDLE hNote, const char* szItemName,
                                DHANDLE* hMemList, WORD* wListLen);

#endif  // WQS_WQSMSG_H_
