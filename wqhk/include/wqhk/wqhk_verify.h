// Checks of stored messages against what their stored format promises.
// Read only: nothing here writes to the queue.  An operator runs them
// before and after a repair; tests run them after every injected fault and
// every crash to prove the queue was left whole.
#ifndef WQHK_WQHK_VERIFY_H_
#define WQHK_WQHK_VERIFY_H_

#include "wqs/wqs.h"

// What the check of one message found.
struct wq_verify_result_t {
  NOTEID noteId;
  BOOL bDamaged;        // TRUE: the message breaks its stored format
  char szReason[256];   // the first problem found, zero-terminated; "" if sound
};

// Checks one stored message: the info block's size, every array item
// against its dwSize, the recipient lists against wNumRecip and
// wNumRecipLists, WQSNHE/WQSPO entry counts, the attachment table against
// wNumAttachments and the attachment objects, every data stream's piece
// table against its pieces, and that the library opens the message.
// Returns NOERROR when the check ran (pResult tells whether the message is
// damaged); any other STATUS when it could not run (the document does not
// exist, the store failed, memory ran out).
STATUS WQHKVerifyMsg(queue_handle_t* pQueue, NOTEID noteId,
                     wq_verify_result_t* pResult);

// TRUE when a message operation's STATUS says the stored message itself is
// unsound (as opposed to the store, the file or memory failing): such a
// message is reported as damaged, not as a check that could not run.
BOOL WQHKIsMessageDamage(STATUS status);

// Called for every message checked, damaged or not, in note-ID order.
// Returning anything but NOERROR stops the walk with that STATUS.
typedef STATUS (*WQHK_VERIFY_CALLBACK)(void* pArg,
                                       const wq_verify_result_t* pResult);

// Checks every data document of the queue.  pdwChecked and pdwDamaged (may
// be null) receive the counts.  Returns NOERROR when every message was
// checked, whatever was found; the STATUS of the first check that could
// not run otherwise.
STATUS WQHKVerifyQueue(queue_handle_t* pQueue, WQHK_VERIFY_CALLBACK callback,
                       void* pArg, DWORD* pdwChecked, DWORD* pdwDamaged);

#endif  // WQHK_WQHK_VERIFY_H_
