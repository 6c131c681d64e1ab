// Test-only writer killed by writer_kill_test:  rel_stream_writer QUEUE FIRST
// COUNT BYTES  saves COUNT messages (serials FIRST, FIRST+1, ...), each with
// RelSerial, RelSize and a stream "Body" of BYTES bytes given by StreamByte,
// and prints "saved SERIAL NOTEID" after each.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream_content.h"
#include "tavlo/runtime.h"
#include "wqs/wqs.h"

static STATUS SaveOne(queue_handle_t* q, DWORD serial, DWORD bytes, unsigned char* chunk) {
  msg_handle_t m;
  STATUS err = WQSCreateMsg(q, WQS_MSG_SIMPLE, &m);
  if (err != NOERROR) return err;
  char name[] = "big@example.org";
  recip_info_t ri{};
  ri.pName = name;
  ri.wNameLen = sizeof name - 1;
  data_stream_block_t dsb{};
  err = WQSAppendRecipient(&m, &ri);
  if (err == NOERROR) err = WQSAddDWORD(&m, FALSE, "RelSerial", serial);
  if (err == NOERROR) err = WQSAddDWORD(&m, FALSE, "RelSize", bytes);
  if (err == NOERROR) err = WQSCreateDataStreamBlock(&m, "Body", &dsb);
  // Uneven chunk lengths, so pieces and the append buffer do not line up.
  for (DWORD done = 0, len; err == NOERROR && done < bytes; done += len) {
    len = std::min<DWORD>(1 + (done * 2654435761u + serial) % WQS_DSB_MAX_CHUNK, bytes - done);
    for (DWORD i = 0; i < len; i++) chunk[i] = rel::StreamByte(serial, done + i);
    err = WQSAppendDataStreamBlock(&m, &dsb, done + len < bytes, chunk, len);
  }
  if (err != NOERROR) {
    (void)WQSAbandonDataStreamBlock(&dsb);
    (void)WQSCloseAndDiscardMsg(&m);
    return err;
  }
  if ((err = WQSCloseAndSaveMsg(&m)) == NOERROR) {
    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    std::printf("saved %u %u\n", serial, info->dwQueueMsgID);
    std::fflush(stdout);
  }
  return err;
}

int main(int argc, char** argv) {
  if (argc != 5 || TavloInitExtended(argc, argv) != NOERROR) return 2;
  const DWORD first = std::strtoul(argv[2], nullptr, 10),
              count = std::strtoul(argv[3], nullptr, 10),
              bytes = std::strtoul(argv[4], nullptr, 10);
  queue_descriptor_t qd{};
  std::snprintf(qd.szQueueName, sizeof qd.szQueueName, "%s", argv[1]);
  queue_handle_t q{};
  STATUS err = WQSOpenQueueForWrite(&qd, FALSE, &q);
  if (err != NOERROR) return 1;
  std::vector<unsigned char> chunk(WQS_DSB_MAX_CHUNK);
  for (DWORD s = first; err == NOERROR && s < first + count; s++)
    err = SaveOne(&q, s, bytes, chunk.data());
  const STATUS cerr = WQSCloseQueueForWrite(&q);
  TavloTerm();
  return err == NOERROR && cerr == NOERROR ? 0 : 1;
}
