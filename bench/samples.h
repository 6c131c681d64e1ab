// What every benchmark here shares: the samples of one measured quantity,
// how they spread, and the order in which a round runs its measurements.
//
// One sample proves little on a shared machine: a build on the next core
// or a page-cache writeback can halve a figure, and a ratio of two single
// samples then says more about the neighbours than about the code.  So
// each benchmark runs its ceiling and its measured work alternately, round
// after round, keeps every sample, and reports the best (the least
// disturbed) with the median and worst beside it, so that a reader sees
// how far to trust the best.
#pragma once

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// Fewer rounds than this leaves the best of them too close to chance.
constexpr int kMinRounds = 5;

// Samples of one quantity, kept as times (seconds): less is better.
class Samples {
 public:
  void Add(double seconds) { v_.push_back(seconds); }
  bool Empty() const { return v_.empty(); }
  size_t Count() const { return v_.size(); }
  double Best() const { return Sorted().front(); }
  double Worst() const { return Sorted().back(); }
  double Median() const {
    std::vector<double> s = Sorted();
    size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
  }
  // How much worse the worst sample is than the best, as a fraction.
  double Spread() const {
    double b = Best();
    return b > 0 ? (Worst() - b) / b : 0;
  }

  // "best 1.234 s, median 1.301 s, worst 1.502 s (spread 22%, 5 samples)".
  std::string Times(double scale = 1, const char* unit = "s",
                    int digits = 3) const {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "best %.*f %s, median %.*f %s, worst %.*f %s "
                  "(spread %.0f%%, %zu samples)",
                  digits, Best() * scale, unit, digits, Median() * scale, unit,
                  digits, Worst() * scale, unit, Spread() * 100, Count());
    return buf;
  }

  // The same as rates: `amount` units of work per sample, e.g. messages or
  // megabytes; the best rate comes from the best time.
  std::string Rates(double amount, const char* unit, int digits = 0) const {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "best %.*f %s, median %.*f %s, worst %.*f %s "
                  "(spread %.0f%%, %zu samples)",
                  digits, amount / Best(), unit, digits, amount / Median(),
                  unit, digits, amount / Worst(), unit, Spread() * 100,
                  Count());
    return buf;
  }

 private:
  std::vector<double> Sorted() const {
    std::vector<double> s = v_;
    if (s.empty()) s.push_back(0);
    std::sort(s.begin(), s.end());
    return s;
  }
  std::vector<double> v_;
};

// CPU time (user + system) this process has used, in seconds.  Other
// processes on a busy machine stretch a wall-clock time but hardly this,
// so a CPU figure that holds still beside a wall figure that does not
// says the machine, not the code, moved.  It leaves out waits for the
// disk (fsync), so it is a check, never the measure.
inline double TimevalSeconds(const timeval& t) {
  return t.tv_sec + t.tv_usec / 1e6;
}
inline double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return TimevalSeconds(ru.ru_utime) + TimevalSeconds(ru.ru_stime);
}
inline double CpuSeconds(const rusage& ru) {
  return TimevalSeconds(ru.ru_utime) + TimevalSeconds(ru.ru_stime);
}

// Runs one round of `steps` (callables): forward in even rounds, backward
// in odd ones, so that a slow drift of the machine (a cache filling, a
// neighbour's build starting) weighs on the ceiling and on the measured
// work alike instead of always on whichever runs second.
template <typename Step>
void RunRound(int round, std::vector<Step>& steps) {
  if (round % 2 == 0) {
    for (auto& s : steps) s();
  } else {
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) (*it)();
  }
}

}  // namespace bench
