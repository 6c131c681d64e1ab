#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wqadmin {

std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

bool Progress::Wanted() {
  const char* term = std::getenv("TERM");
  return isatty(STDERR_FILENO) && !(term && std::strcmp(term, "dumb") == 0);
}

Progress::Progress(std::string what, uint64_t total, bool enabled)
    : what_(std::move(what)),
      total_(total),
      enabled_(enabled),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

void Progress::Update(uint64_t done) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  Draw(done, std::chrono::duration<double>(now - start_).count());
}

void Progress::Draw(uint64_t done, double seconds) {
  char rate[48] = "";
  if (seconds > 0.2)
    std::snprintf(rate, sizeof(rate), "  %s/s",
                  Grouped(static_cast<uint64_t>(done / seconds)).c_str());
  if (total_ > 0) {
    constexpr int kWidth = 30;
    uint64_t shown = done > total_ ? total_ : done;
    int filled = static_cast<int>(shown * kWidth / total_);
    std::string bar(filled, '#');
    bar.append(kWidth - filled, '.');
    std::fprintf(stderr, "\r\033[K%s [%s] %3d%%  %s/%s%s", what_.c_str(),
                 bar.c_str(), static_cast<int>(shown * 100 / total_),
                 Grouped(done).c_str(), Grouped(total_).c_str(), rate);
  } else {
    std::fprintf(stderr, "\r\033[K%s  %s%s", what_.c_str(),
                 Grouped(done).c_str(), rate);
  }
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::Finish() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace wqadmin
