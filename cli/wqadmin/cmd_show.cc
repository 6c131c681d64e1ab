// wqadmin show: one message as the relay's housekeeping sees it, through
// the inbound and outbound state views, plus its message info.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>

#include <nlohmann/json.hpp>

#include "admin.h"
#include "output.h"
#include "reports.h"
#include "safe_text.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "wqhk/wqhk.h"

namespace wqadmin {

namespace {

// Takes the stamp by value: inside the packed stored records it may sit on
// any even address.  null for the special values.
nlohmann::ordered_json TimeJson(TIMEDATE t) {
  std::string iso = IsoTime(t);
  if (iso.empty()) return nullptr;
  return iso;
}

std::string TimeText(const nlohmann::ordered_json& j) {
  return j.is_null() ? "-" : j.get<std::string>();
}

// A text field of the report as the terminal should show it: the exact
// stored bytes (SetText keeps them), made printable.
std::string Shown(const nlohmann::ordered_json& obj, const char* name) {
  return Printable(TextOf(obj, name));
}

bool StartsWith(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  return s.size() > n && s.compare(0, n, prefix) == 0;
}

bool AllDigits(const std::string& s, size_t from) {
  if (from >= s.size()) return false;
  for (size_t i = from; i < s.size(); i++)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

const char* TypeName(WORD type) {
  switch (type) {
    case TYPE_TEXT: return "text";
    case TYPE_TEXT_LIST: return "text list";
    case TYPE_NUMBER: return "number";
    case TYPE_TIME: return "time";
    case TYPE_USERDATA: return "user data";
    case TYPE_OBJECT: return "object";
    default: return "other";
  }
}

// The message's typed fields and data streams: every item the library's
// own format does not account for is a field; a stream is known by its
// piece table.  Values are shown whole only when short.
void DescribeItems(wq_msg_handle_t* h, nlohmann::ordered_json* fields,
                   nlohmann::ordered_json* streams) {
  NOTEHANDLE note = h->msg.hNote;
  std::vector<std::string> names;
  std::vector<WORD> flags, types;
  std::vector<BLOCKID> values;
  std::vector<DWORD> lens;
  DWORD count = QDSItemCount(note);
  for (DWORD i = 0; i < count; i++) {
    char name[256];
    WORD nameLen = 0, f = 0, t = 0;
    BLOCKID bid;
    DWORD len = 0;
    if (QDSItemInfoByIndex(note, i, name, sizeof(name), &nameLen, &f, &t,
                           &bid, &len) != NOERROR ||
        nameLen >= sizeof(name))
      continue;
    names.emplace_back(name, nameLen);
    flags.push_back(f);
    types.push_back(t);
    values.push_back(bid);
    lens.push_back(len);
  }
  std::vector<std::string> streamNames;
  for (const auto& n : names)
    if (StartsWith(n, WQS_ITEM_DSBARRAY))
      streamNames.push_back(n.substr(sizeof(WQS_ITEM_DSBARRAY) - 1));
  *streams = nlohmann::ordered_json::array();
  for (const auto& sn : streamNames) {
    nlohmann::ordered_json e;
    SetText(e, "name", sn);
    data_stream_block_t dsb;
    std::memset(&dsb, 0, sizeof(dsb));
    STATUS err = sn.size() <= WQS_DSB_MAX_NAME
                     ? WQSOpenDataStreamBlock(&h->msg, sn.c_str(), &dsb)
                     : ERR_WQS_NAME_TOO_LONG;
    if (err == NOERROR) {
      e["size"] = WQSGetSizeOfDataStreamBlock(&dsb);
      (void)WQSCloseDataStreamBlock(&dsb);
    } else {
      char text[200];
      TavloStatusText(err, text, sizeof(text));
      e["size"] = nullptr;
      e["error"] = text;
    }
    streams->push_back(e);
  }
  auto isLibraryItem = [&](const std::string& n) {
    if (n == WQS_ITEM_MSGINFO || n == WQS_ITEM_RECIPDATA || n == WQS_ITEM_NHE ||
        n == WQS_ITEM_PO || n == WQS_ITEM_ATTACHINFO || n == "$FILE")
      return true;
    if (StartsWith(n, WQS_ITEM_RECIP) && AllDigits(n, sizeof(WQS_ITEM_RECIP) - 1))
      return true;
    if (StartsWith(n, WQS_ITEM_DSBARRAY) || StartsWith(n, WQS_ITEM_DSBSIZE))
      return true;
    for (const auto& sn : streamNames)
      if (n.size() > sn.size() && n.compare(0, sn.size(), sn) == 0 &&
          AllDigits(n, sn.size()))
        return true;
    return false;
  };
  *fields = nlohmann::ordered_json::array();
  for (size_t i = 0; i < names.size(); i++) {
    if (isLibraryItem(names[i])) continue;
    nlohmann::ordered_json e;
    SetText(e, "name", names[i]);
    e["type"] = TypeName(types[i]);
    e["summary"] = (flags[i] & ITEM_SUMMARY) != 0;
    DWORD dataLen = lens[i] >= 2 ? lens[i] - 2 : 0;
    e["bytes"] = dataLen;
    const char* v = OSLockBlock(values[i]);
    if (v != nullptr && lens[i] >= 2) {
      const char* data = v + 2;
      if (types[i] == TYPE_TEXT) {
        SetText(e, "value", std::string_view(data, std::min<DWORD>(dataLen, 512)));
      } else if (types[i] == TYPE_NUMBER && dataLen == 8) {
        double d;
        std::memcpy(&d, data, 8);
        e["value"] = d;
      } else if (types[i] == TYPE_TIME && dataLen == 8) {
        TIMEDATE t;
        std::memcpy(&t, data, 8);
        e["value"] = TimeJson(t);
      } else if (types[i] == TYPE_TEXT_LIST &&
                 ListCheck(v, TRUE, lens[i]) == NOERROR) {
        std::vector<std::string> list;
        WORD n = ListGetNumEntries(v, TRUE);
        for (WORD k = 0; k < n && k < 50; k++) {
          char* text = nullptr;
          WORD tl = 0;
          if (ListGetText(v, TRUE, k, &text, &tl) == NOERROR)
            list.emplace_back(text, tl);
        }
        SetTextList(e, "value", list);
      }
    }
    if (v != nullptr) OSUnlockBlock(values[i]);
    fields->push_back(e);
  }
}

}  // namespace

STATUS ShowJson(wq_msg_handle_t* hp, NOTEID id, nlohmann::ordered_json* out,
                std::string* what) {
  wq_msg_handle_t& h = *hp;
  nlohmann::ordered_json& j = *out;
  j = nlohmann::ordered_json();
  const std::string message = " of message " + std::to_string(id);
  msg_state_block_t ms;
  std::memset(&ms, 0, sizeof(ms));
  STATUS err = WQInbHKGetMessageState(&h, &ms);
  if (err != NOERROR) {
    *what = "cannot read the state" + message;
    return err;
  }
  char nhe[257];
  WORD nheLen = 0;
  err = WQInbHKGetNHE(&h, nhe, &nheLen);
  if (err != NOERROR) {
    *what = "cannot read the next hop" + message;
    return err;
  }

  user_msg_info_t* info = nullptr;
  WQSGetMsgInfo(&h.msg, &info);
  j["note_id"] = id;
  j["type"] = +h.msg.info.wMsgType;
  j["state"] = ms.wState;
  j["state_name"] = StatusName(ms.wState);
  j["error"] = ms.msgErr;
  SetText(j, "error_text", ms.szError);
  j["originator"] = ms.wOriginator;
  j["nid"] = ms.nidMsg;
  j["delivery_confirm"] = ms.bDelConfirm != 0;
  j["trace"] = ms.bTrace != 0;
  SetText(j, "inbound_next_hop", std::string_view(nhe, nheLen));
  nlohmann::ordered_json mi;
  mi["size"] = +info->dwSize;
  mi["recipients"] = +info->wNumRecip;
  mi["priority"] = +info->wPriority;
  mi["format"] = +info->wFormat;
  mi["retries_left"] = +info->wRetries;
  mi["next_retry"] = TimeJson(LoadTime(&info->tdNextRetry));
  mi["failure_reason"] = +info->dwFailureReason;
  mi["user_info"] = {+info->dwUserInfo1, +info->dwUserInfo2,
                     +info->dwUserInfo3, +info->dwUserInfo4,
                     +info->dwUserInfo5};
  j["message_info"] = mi;

  nlohmann::ordered_json recips = nlohmann::ordered_json::array();
  for (WORD r = 0; r < info->wNumRecip; r++) {
    recip_state_block_t in;
    err = WInbHKGetRecipientInfo(&h, r, &in);
    if (err != NOERROR) {
      *what = "cannot read recipient " + std::to_string(r) + message;
      return err;
    }
    nlohmann::ordered_json e;
    e["index"] = r;
    SetText(e, "name", std::string_view(in.pName ? in.pName : "", in.wNameLen));
    e["state"] = +in.wState;
    e["error"] = in.err;
    recip_info_t ri;
    std::memset(&ri, 0, sizeof(ri));
    if (WQSGetRecipient(&h.msg, r, &ri) == NOERROR) {
      e["retries"] = +ri.data.wRetries;
      e["next_retry"] = TimeJson(LoadTime(&ri.data.tdNextRetry));
      e["type"] = +ri.data.dwRecipType;
    }
    // Only an extended message has post offices and next hops.
    if (h.msg.info.wMsgType == WQS_MSG_EXTENDED) {
      recip_state_block_t outb;
      if (WOutbHKGetRecipientInfo(&h, r, &outb) == NOERROR)
        SetText(e, "post_office",
                std::string_view(outb.pName ? outb.pName : "", outb.wNameLen));
      if (ri.pNextHop != nullptr)
        SetText(e, "next_hop", std::string_view(ri.pNextHop, ri.wNextHopLen));
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
    e["object"] = +fb->RRV;
    SetText(e, "name",
            std::string_view(fd->fileName,
                             std::min<WORD>(+fd->wNameLen, WQS_MAX_FILE_NAME)));
    e["file_type"] = +fd->fileType;
    e["size"] = +fd->size;
    if (fd->fileType == WQS_FILETYPE_MACEXT) e["resource_size"] = +fd->resSize;
    files.push_back(e);
  }
  j["attachments"] = files;

  nlohmann::ordered_json fields, streams;
  DescribeItems(&h, &fields, &streams);
  j["fields"] = fields;
  j["streams"] = streams;
  return NOERROR;
}

int CmdShow(const ShowOptions& o) {
  queue_handle_t q;
  if (!OpenQueueReadOnly(o.queue, &q)) return 1;
  const std::string where = ResolvedPath(o.queue);

  wq_msg_handle_t h;
  std::memset(&h, 0, sizeof(h));
  if (!OpenMessage(&q, where, o.noteId, &h.msg)) {
    CloseQueue(o.queue, &q);
    return 1;
  }
  nlohmann::ordered_json j;
  std::string what;
  int rc = 0;
  STATUS err = ShowJson(&h, o.noteId, &j, &what);
  if (err != NOERROR) rc = Fail(what + " in", where, err);

  STATUS cerr = WQSCloseMsg(&h.msg);
  CloseQueue(o.queue, &q);
  if (rc != 0) return rc;
  if (cerr != NOERROR)
    return Fail("cannot close message " + std::to_string(o.noteId) + " in",
                where, cerr);

  if (o.json) {
    Printf("%s\n", JsonDump(j, 2).c_str());
    return 0;
  }
  const nlohmann::ordered_json& mi = j["message_info"];
  auto num = [](const nlohmann::ordered_json& v) { return v.get<unsigned>(); };
  const unsigned type = num(j["type"]), state = num(j["state"]);
  Printf("message %u in %s (type %u, %s)\n", o.noteId, Printable(where).c_str(), type,
         type == WQS_MSG_SIMPLE ? "simple" : "extended");
  const std::string stName = StatusName(state);
  Printf("  state           %u%s\n", state,
         stName.empty() ? "" : (" (" + stName + ")").c_str());
  const std::string errText = Shown(j, "error_text");
  Printf("  error           %u%s%s\n", num(j["error"]),
         errText.empty() ? "" : "  ", errText.c_str());
  Printf("  inbound hop     %s\n", Shown(j, "inbound_next_hop").c_str());
  Printf("  retries left    %u, next retry %s\n", num(mi["retries_left"]),
         TimeText(mi["next_retry"]).c_str());
  Printf("  size %u, priority %u, format %u, failure reason %u\n", num(mi["size"]),
         num(mi["priority"]), num(mi["format"]), num(mi["failure_reason"]));
  Printf("  originator %u, nid %u, delivery confirm %s, trace %s\n",
         num(j["originator"]), num(j["nid"]),
         j["delivery_confirm"].get<bool>() ? "yes" : "no",
         j["trace"].get<bool>() ? "yes" : "no");
  Printf("  recipients      %u\n", num(mi["recipients"]));
  for (const auto& e : j["recipients"]) {
    Printf("    [%u] %-36s state %u error %u", e["index"].get<unsigned>(),
           Shown(e, "name").c_str(), e["state"].get<unsigned>(),
           e["error"].get<unsigned>());
    if (e.contains("type"))
      Printf(" type %u retries %u next %s", e["type"].get<unsigned>(),
             e["retries"].get<unsigned>(), TimeText(e["next_retry"]).c_str());
    if (e.contains("next_hop")) Printf("  via %s", Shown(e, "next_hop").c_str());
    if (e.contains("post_office"))
      Printf("  po %s", Shown(e, "post_office").c_str());
    Printf("\n");
  }
  for (const auto& e : j["attachments"])
    Printf("  attachment [%u] %s, %u bytes%s, file type %u, object %u\n",
           e["index"].get<unsigned>(), Shown(e, "name").c_str(),
           e["size"].get<unsigned>(),
           e.contains("resource_size")
               ? (" + " + std::to_string(e["resource_size"].get<unsigned>()) +
                  " bytes of resources").c_str()
               : "",
           e["file_type"].get<unsigned>(), e["object"].get<unsigned>());
  for (const auto& e : j["streams"]) {
    if (e["size"].is_null())
      Printf("  stream %-20s unreadable: %s\n", Shown(e, "name").c_str(),
             e["error"].get<std::string>().c_str());
    else
      Printf("  stream %-20s %u bytes\n", Shown(e, "name").c_str(),
             e["size"].get<unsigned>());
  }
  for (const auto& e : j["fields"]) {
    std::string value;
    if (e.contains("value")) {
      if (e["value"].is_string()) {
        value = Shown(e, "value");
      } else if (e["value"].is_array()) {
        // A list: its entries' exact bytes, printable, comma-separated.
        const auto* exact = e.contains("value_b64") ? &e["value_b64"] : nullptr;
        for (size_t k = 0; k < e["value"].size(); k++) {
          std::string entry = e["value"][k].get<std::string>();
          if (exact) Base64Decode((*exact)[k].get<std::string>(), &entry);
          value += (k ? ", " : "") + Printable(entry);
        }
      } else {
        value = e["value"].dump();
      }
      if (Columns(value) > 60) value = std::string(Cut(value, 59)) + "~";
    } else {
      char buf[32];
      std::snprintf(buf, sizeof(buf), "(%u bytes)", e["bytes"].get<unsigned>());
      value = buf;
    }
    Printf("  field %-20s %-9s %-7s %s\n", Shown(e, "name").c_str(),
           e["type"].get<std::string>().c_str(),
           e["summary"].get<bool>() ? "summary" : "", value.c_str());
  }
  return 0;
}

}  // namespace wqadmin
