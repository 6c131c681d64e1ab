// Shared pieces of wqadmin: status meanings, error reporting, queue open
// and the summary scan.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <strings.h>

#include "admin.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"

namespace wqadmin {

const std::vector<StatusMeaning>& KnownStatuses() {
  // The relay's life cycle as seen from the queue: 6 is the only state in
  // which it picks a message up; the four failure states are what the
  // reset tool puts back to 6.
  static const std::vector<StatusMeaning> kStatuses = {
      {6, "queued", "queued: waiting to be processed by the MAILHUB"},
      {7, "deferred", "deferred: temporary failure, retries exhausted"},
      {9, "transfer failed", "transfer failed: next hop unreachable"},
      {10, "routing failed", "routing failed: no route for some recipients"},
      {11, "rejected", "rejected: permanent failure reported by the next hop"},
  };
  return kStatuses;
}

const char* StatusName(DWORD status) {
  for (const auto& s : KnownStatuses())
    if (s.status == status) return s.name;
  return "";
}

bool IsFailedStatus(DWORD status) {
  return status == 11 || status == 9 || status == 10 || status == 7;
}

int Fail(const std::string& what, const std::string& file, STATUS status) {
  char text[256];
  TavloStatusText(status, text, sizeof(text));
  std::fprintf(stderr, "wqadmin: %s '%s': %s (STATUS %u)\n", what.c_str(),
               file.c_str(), text, static_cast<unsigned>(status));
  return 1;
}

int FailText(const std::string& message) {
  std::fprintf(stderr, "wqadmin: %s\n", message.c_str());
  return 1;
}

std::string ResolvedPath(const std::string& queue) {
  std::filesystem::path p(queue);
  if (p.is_absolute()) return queue;
  return (std::filesystem::path(TavloDataDirectory()) / p).string();
}

bool OpenQueue(const std::string& queue, queue_handle_t* q) {
  queue_descriptor_t qd;
  std::memset(&qd, 0, sizeof(qd));
  if (queue.size() >= sizeof(qd.szQueueName)) {
    FailText("queue path too long: '" + queue + "'");
    return false;
  }
  std::memcpy(qd.szQueueName, queue.c_str(), queue.size() + 1);
  STATUS err = WQSOpenQueueForWrite(&qd, FALSE, q);
  if (err != NOERROR) {
    Fail("cannot open queue", ResolvedPath(queue), err);
    return false;
  }
  return true;
}

bool OpenQueueReadOnly(const std::string& queue, queue_handle_t* q) {
  return OpenQueue(queue, q);
}

void CloseQueue(const std::string& queue, queue_handle_t* q) {
  STATUS err = WQSCloseQueueForWrite(q);
  if (err != NOERROR) Fail("cannot close queue", ResolvedPath(queue), err);
}

namespace {

struct ScanState {
  std::vector<SummaryRow>* rows;
  size_t limit;
};

WORD ReadWord(const char* p) {
  WORD w;
  std::memcpy(&w, p, 2);
  return w;
}

// Walks the summary table the search hands over; every length is checked
// against the table, so a damaged table yields fewer fields, never a read
// past it.
STATUS ScanCallback(void* arg, SEARCH_MATCH* match, ITEM_TABLE* summary) {
  auto* st = static_cast<ScanState*>(arg);
  if ((match->SERetFlags & SE_FMATCH) == 0) return NOERROR;
  if (st->limit != 0 && st->rows->size() >= st->limit) return NOERROR;
  SummaryRow row;
  row.id = match->ID.NoteID;
  if (summary != nullptr) {
    const char* base = reinterpret_cast<const char*>(summary);
    size_t total = summary->Length;
    if (total == 0xFFFF) total = SIZE_MAX;  // saturated: trust the items
    size_t n = summary->Items;
    size_t off = sizeof(ITEM_TABLE) + n * sizeof(ITEM);
    if (off <= total) {
      for (size_t i = 0; i < n; i++) {
        const char* item = base + sizeof(ITEM_TABLE) + i * sizeof(ITEM);
        WORD nameLen = ReadWord(item);
        WORD valueLen = ReadWord(item + 2);
        if (off + nameLen + valueLen > total) break;
        std::string name(base + off, nameLen);
        const char* value = base + off + nameLen;
        off += nameLen + valueLen;
        if (name == "$FILE") row.attachments++;
        if (strcasecmp(name.c_str(), "WQMsgStatus") != 0 || valueLen < 10 ||
            row.hasStatus)
          continue;
        if (ReadWord(value) != TYPE_NUMBER) continue;
        double d;
        std::memcpy(&d, value + 2, 8);
        if (d >= 0 && d <= 4294967295.0) {
          row.hasStatus = true;
          row.status = static_cast<DWORD>(d);
        }
      }
    }
  }
  st->rows->push_back(row);
  return NOERROR;
}

}  // namespace

STATUS ScanSummaries(queue_handle_t* q, const std::string& formula,
                     size_t limit, std::vector<SummaryRow>* rows) {
  FORMULAHANDLE hFormula = NULLHANDLE;
  if (!formula.empty()) {
    WORD len = 0;
    STATUS err = QDSFormulaCompile(nullptr, 0, formula.c_str(),
                                   static_cast<WORD>(formula.size()),
                                   &hFormula, &len, nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
    if (err != NOERROR) return err;
  }
  ScanState st{rows, limit};
  STATUS err = QDSSearch(q->dbhandle, hFormula, nullptr, SEARCH_SUMMARY,
                         NOTE_CLASS_DOCUMENT, nullptr, ScanCallback, &st,
                         nullptr);
  if (hFormula != NULLHANDLE) (void)OSMemFree(hFormula);
  return err;
}

}  // namespace wqadmin
