// wqadmin show: one message as the relay's housekeeping sees it, through
// the inbound and outbound state views, plus its message info.

#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "tavlo/runtime.h"
#include "wqhk/wqhk.h"

namespace wqadmin {

namespace {

// Takes the stamp by value: inside the packed stored records it may sit on
// any even address.
std::string TimeText(TIMEDATE t) {
  char buf[64];
  TimeToText(&t, buf, sizeof(buf));
  return buf;
}

}  // namespace

int CmdShow(const ShowOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);

  wq_msg_handle_t h;
  std::memset(&h, 0, sizeof(h));
  STATUS err = WQSOpenMsgByMsgID(&q, o.noteId, &h.msg);
  if (err != NOERROR) {
    CloseQueue(o.queue, &q);
    return Fail("cannot open message " + std::to_string(o.noteId) + " in",
                where, err);
  }

  nlohmann::ordered_json j;
  int rc = 0;
  msg_state_block_t ms;
  std::memset(&ms, 0, sizeof(ms));
  err = WQInbHKGetMessageState(&h, &ms);
  if (err != NOERROR)
    rc = Fail("cannot read the state of message " + std::to_string(o.noteId) +
                  " in", where, err);

  char nhe[257];
  WORD nheLen = 0;
  if (rc == 0) {
    err = WQInbHKGetNHE(&h, nhe, &nheLen);
    if (err != NOERROR)
      rc = Fail("cannot read the next hop of message " +
                    std::to_string(o.noteId) + " in", where, err);
  }

  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&h.msg, &info);
  if (rc == 0) {
    j["note_id"] = o.noteId;
    j["type"] = +h.msg.info.wMsgType;
    j["state"] = ms.wState;
    j["state_name"] = StatusName(ms.wState);
    j["error"] = ms.msgErr;
    j["error_text"] = std::string(ms.szError);
    j["originator"] = ms.wOriginator;
    j["nid"] = ms.nidMsg;
    j["delivery_confirm"] = ms.bDelConfirm != 0;
    j["trace"] = ms.bTrace != 0;
    j["inbound_next_hop"] = std::string(nhe, nheLen);
    nlohmann::ordered_json mi;
    mi["size"] = +info->dwSize;
    mi["recipients"] = +info->wNumRecip;
    mi["priority"] = +info->wPriority;
    mi["format"] = +info->wFormat;
    mi["retries_left"] = +info->wRetries;
    mi["next_retry"] = TimeText(info->tdNextRetry);
    mi["failure_reason"] = +info->dwFailureReason;
    mi["user_info"] = {+info->dwUserInfo1, +info->dwUserInfo2,
                       +info->dwUserInfo3, +info->dwUserInfo4,
                       +info->dwUserInfo5};
    j["message_info"] = mi;

    nlohmann::ordered_json recips = nlohmann::ordered_json::array();
    for (WORD r = 0; rc == 0 && r < info->wNumRecip; r++) {
      recip_state_block_t in;
      err = WInbHKGetRecipientInfo(&h, r, &in);
      if (err != NOERROR) {
        rc = Fail("cannot read recipient " + std::to_string(r) + " of message " +
                      std::to_string(o.noteId) + " in", where, err);
        break;
      }
      nlohmann::ordered_json e;
      e["index"] = r;
      e["name"] = std::string(in.pName ? in.pName : "", in.wNameLen);
      e["state"] = +in.wState;
      e["error"] = in.err;
      recip_info_t ri;
      std::memset(&ri, 0, sizeof(ri));
      if (WQSGetRecipient(&h.msg, r, &ri) == NOERROR) {
        e["retries"] = +ri.data.wRetries;
        e["next_retry"] = TimeText(ri.data.tdNextRetry);
      }
      // Only an extended message has post offices and next hops.
      if (h.msg.info.wMsgType == WQS_MSG_EXTENDED) {
        recip_state_block_t out;
        err = WOutbHKGetRecipientInfo(&h, r, &out);
        if (err == NOERROR)
          e["post_office"] = std::string(out.pName ? out.pName : "", out.wNameLen);
        if (ri.pNextHop != nullptr)
          e["next_hop"] = std::string(ri.pNextHop, ri.wNextHopLen);
      }
      recips.push_back(e);
    }
    j["recipients"] = recips;

    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    WORD nFiles = WQSGetNumFileBlocks(&h.msg);
    for (WORD f = 0; f < nFiles; f++) {
      file_descriptor_t* fd = nullptr;
      file_block_t* fb = nullptr;
      WQSGetFileBlockInfo(&h.msg, f, &fd, &fb);
      nlohmann::ordered_json e;
      e["index"] = f;
      e["name"] = std::string(fd->fileName,
                              std::min<WORD>(+fd->wNameLen, WQS_MAX_FILE_NAME));
      e["file_type"] = +fd->fileType;
      e["size"] = +fd->size;
      if (fd->fileType == WQS_FILETYPE_MACEXT) e["resource_size"] = +fd->resSize;
      files.push_back(e);
    }
    j["attachments"] = files;

    data_stream_block_t dsb;
    if (WQSOpenDataStreamBlock(&h.msg, "Body", &dsb) == NOERROR) {
      j["body_bytes"] = WQSGetSizeOfDataStreamBlock(&dsb);
      (void)WQSCloseDataStreamBlock(&dsb);
    }
  }

  STATUS cerr = WQSCloseMsg(&h.msg);
  CloseQueue(o.queue, &q);
  if (rc != 0) return rc;
  if (cerr != NOERROR)
    return Fail("cannot close message " + std::to_string(o.noteId) + " in",
                where, cerr);

  if (o.json) {
    std::printf("%s\n", j.dump(2).c_str());
    return 0;
  }
  std::printf("message %u in %s (type %u, %s)\n", o.noteId, where.c_str(),
              static_cast<unsigned>(h.msg.info.wMsgType),
              h.msg.info.wMsgType == WQS_MSG_SIMPLE ? "simple" : "extended");
  const std::string stName = StatusName(ms.wState);
  std::printf("  state           %u%s\n", static_cast<unsigned>(ms.wState),
              stName.empty() ? "" : (" (" + stName + ")").c_str());
  std::printf("  error           %u%s%s\n", static_cast<unsigned>(ms.msgErr),
              ms.szError[0] ? "  " : "", ms.szError);
  std::printf("  inbound hop     %.*s\n", static_cast<int>(nheLen), nhe);
  std::printf("  retries left    %u, next retry %s\n",
              static_cast<unsigned>(info->wRetries),
              j["message_info"]["next_retry"].get<std::string>().c_str());
  std::printf("  size %u, priority %u, format %u, failure reason %u\n",
              info->dwSize, static_cast<unsigned>(info->wPriority),
              static_cast<unsigned>(info->wFormat), info->dwFailureReason);
  std::printf("  originator %u, nid %u, delivery confirm %s, trace %s\n",
              static_cast<unsigned>(ms.wOriginator), ms.nidMsg,
              ms.bDelConfirm ? "yes" : "no", ms.bTrace ? "yes" : "no");
  std::printf("  recipients      %u\n", static_cast<unsigned>(info->wNumRecip));
  for (const auto& e : j["recipients"]) {
    std::printf("    [%u] %-36s state %u error %u",
                e["index"].get<unsigned>(), e["name"].get<std::string>().c_str(),
                e["state"].get<unsigned>(), e["error"].get<unsigned>());
    if (e.contains("next_hop"))
      std::printf("  via %s", e["next_hop"].get<std::string>().c_str());
    if (e.contains("post_office"))
      std::printf("  po %s", e["post_office"].get<std::string>().c_str());
    std::printf("\n");
  }
  for (const auto& e : j["attachments"])
    std::printf("  attachment [%u] %s, %u bytes%s\n", e["index"].get<unsigned>(),
                e["name"].get<std::string>().c_str(), e["size"].get<unsigned>(),
                e["file_type"].get<unsigned>() == WQS_FILETYPE_MACEXT
                    ? " + resources" : "");
  if (j.contains("body_bytes"))
    std::printf("  body stream     %u bytes\n", j["body_bytes"].get<unsigned>());
  return 0;
}

}  // namespace wqadmin
