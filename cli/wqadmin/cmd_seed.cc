// wqadmin seed: adds realistic messages to a queue through the work-queue
// library, the way the relay's inbound side stores them.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "admin.h"
#include "output.h"
#include "progress.h"
#include "tavlo/runtime.h"

namespace wqadmin {

namespace {

// Tag of wqadmin's own transfer buffer, apart from the library's tags.
constexpr WORD kTagSeedBuffer = 0x7A10;
constexpr DWORD kFileChunk = 1u << 20;
constexpr DWORD kBodyChunk = 32768;  // below the stream's per-call limit

const char* const kFirst[] = {"j", "a", "m", "s", "k", "l", "t", "r", "e", "d"};
const char* const kLast[] = {"smith",  "jones", "garcia", "miller", "davis",
                             "wilson", "moore", "taylor", "clark",  "lewis",
                             "walker", "young", "king",   "wright", "green"};
const char* const kDomains[] = {"example.org", "example.com", "example.net",
                                "mail.example.org"};
const char* const kPostOffices[] = {"PO-Amsterdam", "PO-Berlin", "PO-Chicago",
                                    "PO-Dublin",    "PO-Lisbon", "PO-Oslo"};

// What a failure of each status looks like on the wire.
struct Failure {
  DWORD code;
  const char* text;  // %s: a recipient or host
};
Failure FailureFor(DWORD status) {
  switch (status) {
    case 11:
      return {550, "550 5.1.1 <%s>: Recipient address rejected: User unknown"};
    case 9:
      return {421, "421 4.4.2 %s: Connection timed out"};
    case 10:
      return {554, "554 5.4.4 <%s>: No route to destination domain"};
    case 7:
      return {451, "451 4.7.1 <%s>: Greylisted, please try again later"};
    default:
      return {0, ""};
  }
}

class Seeder {
 public:
  Seeder(const SeedOptions& o, queue_handle_t* q)
      : o_(o), q_(q), rng_(o.seed) {}
  ~Seeder() {
    if (hBuf_ != NULLHANDLE) (void)OSMemFree(hBuf_);
  }

  int Prepare() {
    if (!o_.attach.empty()) {
      std::ifstream in(o_.attach, std::ios::binary);
      if (!in) return FailText("cannot read attachment '" + o_.attach + "'");
      attach_.assign(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
      attachName_ = std::filesystem::path(o_.attach).filename().string();
      if (attachName_.size() > WQS_MAX_FILE_NAME)
        attachName_.resize(WQS_MAX_FILE_NAME);
    }
    if (!attach_.empty()) {
      STATUS err = OSMemAlloc(kTagSeedBuffer, kFileChunk, &hBuf_);
      if (err != NOERROR) return Fail("cannot allocate a buffer for", o_.attach, err);
    }
    return 0;
  }

  // Adds one message; prints the failing step itself.
  int One(uint32_t serial, NOTEID* id) {
    msg_handle_t m;
    STATUS err = WQSCreateMsg(q_, static_cast<WORD>(o_.type), &m);
    if (err != NOERROR) return Fail("cannot create a message in", where(), err);

    const Failure fail = FailureFor(o_.status);
    std::string firstRecip;
    for (uint32_t r = 0; r < o_.recipients; r++) {
      std::string name = RecipientName();
      if (r == 0) firstRecip = name;
      std::string hop = "mx" + std::to_string(1 + Pick(4)) + ".example.net";
      std::string po = kPostOffices[Pick(std::size(kPostOffices))];
      recip_info_t ri;
      std::memset(&ri, 0, sizeof(ri));
      ri.pName = name.data();
      ri.wNameLen = static_cast<WORD>(name.size());
      ri.pNextHop = hop.data();
      ri.wNextHopLen = static_cast<WORD>(hop.size());
      ri.pPOName = po.data();
      ri.wPONameLen = static_cast<WORD>(po.size());
      ri.data.dwRecipType = 1;  // a "to" recipient
      // Status 10 fails only some recipients: every other one is through.
      bool failed = fail.code != 0 && !(o_.status == 10 && r % 2 == 1);
      ri.data.dwUserInfo = failed ? o_.status : 6;
      ri.data.dwErrorCode = failed ? fail.code : 0;
      ri.data.wRetries = failed ? 0 : 3;
      TIMEDATE retry;
      Later(failed ? 3600 : 0, &retry);
      StoreTime(&ri.data.tdNextRetry, retry);
      err = WQSAppendRecipient(&m, &ri);
      if (err != NOERROR) return Discard(&m, "cannot add a recipient in", err);
    }

    user_msg_info_t* info = nullptr;
    WQSGetMsgInfo(&m, &info);
    info->dwSize = o_.bodySize ? o_.bodySize : 2048 + Pick(200000);
    info->dwQueueMsgID = 0;
    info->wPriority = static_cast<WORD>(Pick(3));
    info->wFormat = 1;
    info->wRetries = fail.code ? 0 : 5;
    // A failed message whose retries ran out has been stuck for anything
    // from a minute to a few days; a queued one fell due minutes ago.
    // That gives `stats` a realistic queue shape to show.
    TIMEDATE next;
    Later(fail.code ? -(60 + static_cast<int64_t>(Pick(3 * 86400)))
                    : -static_cast<int64_t>(Pick(600)),
          &next);
    StoreTime(&info->tdNextRetry, next);
    info->dwFailureReason = fail.code;
    // The relay's own message number; any nonzero value will do.
    info->dwUserInfo1 = static_cast<DWORD>(1 + Pick(0x7FFFFFFF));
    info->dwUserInfo2 = static_cast<DWORD>(Pick(4));  // DSN / trace bits
    info->dwUserInfo3 = fail.code;
    info->dwUserInfo4 = 1;  // originated on the inbound side
    info->dwUserInfo5 = 0;

    err = WQSAddDWORD(&m, TRUE, "WQMsgStatus", o_.status);
    if (err == NOERROR && fail.code != 0) {
      char text[512];
      const std::string subject = o_.status == 9 ? "mx2.example.net" : firstRecip;
      int n = std::snprintf(text, sizeof(text), fail.text,
                            subject.empty() ? "postmaster@example.org"
                                            : subject.c_str());
      if (n < 0) n = 0;
      if (n >= static_cast<int>(sizeof(text))) n = sizeof(text) - 1;
      err = WQSAddDataBlock(&m, FALSE, "WQErrStr", text, static_cast<WORD>(n));
    }
    if (err == NOERROR) {
      std::string nhe = "mx-in" + std::to_string(1 + Pick(2)) + ".example.net";
      err = WQSAddDataBlock(&m, FALSE, "WQIBNHE", nhe.data(),
                            static_cast<WORD>(nhe.size()));
    }
    if (err == NOERROR) {
      TIMEDATE received;
      Later(-static_cast<int64_t>(Pick(3 * 86400)), &received);
      err = WQSAddTIMEDATE(&m, TRUE, "WQRecvTime", &received);
    }
    if (err != NOERROR) return Discard(&m, "cannot add a field in", err);

    if (o_.bodySize > 0) {
      int rc = AddBody(&m, serial);
      if (rc != 0) return rc;
    }
    if (!attach_.empty() || !o_.attach.empty()) {
      int rc = AddAttachment(&m);
      if (rc != 0) return rc;
    }

    err = WQSCloseAndSaveMsg(&m);
    if (err != NOERROR) return Fail("cannot save a message in", where(), err);
    WQSGetMsgInfo(&m, &info);
    *id = info->dwQueueMsgID;
    return 0;
  }

 private:
  std::string where() const { return ResolvedPath(o_.queue); }

  size_t Pick(size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
  }

  std::string RecipientName() {
    return std::string(kFirst[Pick(std::size(kFirst))]) + "." +
           kLast[Pick(std::size(kLast))] + std::to_string(Pick(100)) + "@" +
           kDomains[Pick(std::size(kDomains))];
  }

  static void Later(int64_t seconds, TIMEDATE* t) {
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    TimeFromMicros(TimeToMicros(&now) + seconds * 1000000, t);
  }

  int Discard(msg_handle_t* m, const char* what, STATUS err) {
    (void)WQSCloseAndDiscardMsg(m);
    return Fail(what, where(), err);
  }

  // A plain-text body stream of exactly bodySize bytes, named "Body".
  int AddBody(msg_handle_t* m, uint32_t serial) {
    std::string body = "Received: from mx-in1.example.net\r\nSubject: seeded "
                       "message " + std::to_string(serial) + "\r\n\r\n";
    static const char kLine[] =
        "The quick brown fox jumps over the lazy dog while the relay waits.\r\n";
    while (body.size() < o_.bodySize) body += kLine;
    body.resize(o_.bodySize);

    data_stream_block_t dsb;
    STATUS err = WQSCreateDataStreamBlock(m, kBodyStream, &dsb);
    if (err != NOERROR) return Discard(m, "cannot start the body stream in", err);
    size_t off = 0;
    while (err == NOERROR) {
      DWORD len = static_cast<DWORD>(
          std::min<size_t>(kBodyChunk, body.size() - off));
      bool more = off + len < body.size();
      err = WQSAppendDataStreamBlock(m, &dsb, more ? TRUE : FALSE,
                                     body.data() + off, len);
      off += len;
      if (!more) break;
    }
    if (err != NOERROR) {
      (void)WQSAbandonDataStreamBlock(&dsb);
      return Discard(m, "cannot write the body stream in", err);
    }
    return 0;
  }

  int AddAttachment(msg_handle_t* m) {
    file_descriptor_t fd;
    std::memset(&fd, 0, sizeof(fd));
    fd.fileType = 1;
    std::memcpy(fd.fileName, attachName_.data(), attachName_.size());
    fd.wNameLen = static_cast<WORD>(attachName_.size());
    fd.size = static_cast<DWORD>(attach_.size());
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    StoreTime(&fd.created, now);
    StoreTime(&fd.modified, now);
    file_block_t fb;
    STATUS err = WQSCreateFileBlock(m, &fd, &fb);
    if (err != NOERROR) return Discard(m, "cannot attach a file in", err);
    for (size_t off = 0; off < attach_.size(); off += kFileChunk) {
      DWORD len = static_cast<DWORD>(
          std::min<size_t>(kFileChunk, attach_.size() - off));
      void* p = OSLockObject(hBuf_);
      if (p == nullptr) return Discard(m, "cannot lock a buffer for", ERR_BAD_HANDLE);
      std::memcpy(p, attach_.data() + off, len);
      OSUnlockObject(hBuf_);
      err = WQSAppendFileBlock(m, &fb, hBuf_, len);
      if (err != NOERROR) return Discard(m, "cannot write an attachment in", err);
    }
    return 0;
  }

  const SeedOptions& o_;
  queue_handle_t* q_;
  std::mt19937_64 rng_;
  std::vector<char> attach_;
  std::string attachName_;
  DHANDLE hBuf_ = NULLHANDLE;
};

}  // namespace

int CmdSeed(const SeedOptions& o) {
  if (o.type != 1 && o.type != 2)
    return FailText("--type must be 1 (simple) or 2 (extended)");
  if (o.status > 0xFFFF) return FailText("--status must fit in 16 bits");
  if (o.recipients > 1000)
    return FailText("--recipients above 1000 is not a realistic message");

  queue_handle_t q;
  if (!OpenQueueBulk(o.queue, &q)) return 1;
  Seeder seeder(o, &q);
  int rc = seeder.Prepare();
  Progress progress("seeding", o.count, !o.quiet && Progress::Wanted());
  NOTEID first = 0, last = 0;
  uint32_t done = 0;
  for (; rc == 0 && done < o.count; done++) {
    NOTEID id = 0;
    rc = seeder.One(done, &id);
    if (rc != 0) break;
    if (done == 0) first = id;
    last = id;
    progress.Update(done + 1);
  }
  progress.Finish();
  CloseQueue(o.queue, &q);
  if (rc != 0) {
    std::fprintf(stderr, "wqadmin: %u of %u messages were stored before the "
                 "failure\n", done, o.count);
    return rc;
  }
  const char* name = StatusName(o.status);
  Printf("seeded %u message%s of type %u in status %u%s%s%s into %s",
              o.count, o.count == 1 ? "" : "s", o.type, o.status,
              *name ? " (" : "", name, *name ? ")" : "",
              ResolvedPath(o.queue).c_str());
  if (o.count > 0)
    Printf(", note ids %u..%u", static_cast<unsigned>(first),
                static_cast<unsigned>(last));
  Printf("\n");
  return 0;
}

}  // namespace wqadmin
