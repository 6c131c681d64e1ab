// Test-only writer of large messages, killed by the reliability tests:
//
//   rel_stream_writer QUEUE FIRST COUNT BYTES
//
// saves COUNT messages (serials FIRST, FIRST+1, ...) to the existing QUEUE,
// each with the number fields RelSerial and RelSize and one data stream
// "Body" of BYTES bytes whose content follows from the serial
// (StreamByte).  After each save it prints "saved SERIAL NOTEID" and
// flushes, so the test knows which saves finished before a kill.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream_content.h"
#include "tavlo/runtime.h"
#include "wqs/wqs.h"

namespace {

STATUS SaveOne(queue_handle_t* q, DWORD serial, DWORD bytes,
               std::vector<unsigned char>* chunk, NOTEID* id) {
  msg_handle_t m;
  STATUS err = WQSCreateMsg(q, WQS_MSG_SIMPLE, &m);
  if (err != NOERROR) return err;
  char name[64];
  std::snprintf(name, sizeof name, "big%u@example.org", serial);
  recip_info_t ri;
  std::memset(&ri, 0, sizeof ri);
  ri.pName = name;
  ri.wNameLen = static_cast<WORD>(std::strlen(name));
  ri.data.dwRecipType = 1;
  ri.data.dwUserInfo = 6;
  err = WQSAppendRecipient(&m, &ri);
  if (err == NOERROR) err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", 6);
  if (err == NOERROR) err = WQSAddDWORD(&m, FALSE, "RelSerial", serial);
  if (err == NOERROR) err = WQSAddDWORD(&m, FALSE, "RelSize", bytes);
  data_stream_block_t dsb;
  std::memset(&dsb, 0, sizeof dsb);
  if (err == NOERROR) err = WQSCreateDataStreamBlock(&m, "Body", &dsb);
  // Uneven chunk lengths, so pieces and the append buffer do not line up.
  DWORD done = 0;
  while (err == NOERROR) {
    DWORD len = 1 + (done * 2654435761u + serial) % WQS_DSB_MAX_CHUNK;
    if (len > bytes - done) len = bytes - done;
    for (DWORD i = 0; i < len; i++) (*chunk)[i] = rel::StreamByte(serial, done + i);
    const BOOL more = done + len < bytes ? TRUE : FALSE;
    err = WQSAppendDataStreamBlock(&m, &dsb, more, chunk->data(), len);
    done += len;
    if (!more) break;
  }
  if (err != NOERROR) {
    (void)WQSAbandonDataStreamBlock(&dsb);
    (void)WQSCloseAndDiscardMsg(&m);
    return err;
  }
  err = WQSCloseAndSaveMsg(&m);
  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&m, &info);
  *id = info->dwQueueMsgID;
  return err;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s QUEUE FIRST COUNT BYTES\n", argv[0]);
    return 2;
  }
  const DWORD first = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
  const DWORD count = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
  const DWORD bytes = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10));
  if (TavloInitExtended(argc, argv) != NOERROR) return 1;
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof qd);
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", argv[1]);
  queue_handle_t q;
  STATUS err = WQSOpenQueueForWrite(&qd, FALSE, &q);
  if (err != NOERROR) {
    std::fprintf(stderr, "open: status %u\n", err);
    TavloTerm();
    return 1;
  }
  std::vector<unsigned char> chunk(WQS_DSB_MAX_CHUNK);
  for (DWORD s = first; err == NOERROR && s < first + count; s++) {
    NOTEID id = 0;
    err = SaveOne(&q, s, bytes, &chunk, &id);
    if (err == NOERROR) {
      std::printf("saved %u %u\n", s, id);
      std::fflush(stdout);
    }
  }
  if (err != NOERROR) std::fprintf(stderr, "save: status %u\n", err);
  STATUS cerr = WQSCloseQueueForWrite(&q);
  TavloTerm();
  return err == NOERROR && cerr == NOERROR ? 0 : 1;
}
