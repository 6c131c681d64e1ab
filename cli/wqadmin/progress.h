// A progress bar for long runs, drawn on standard error when it is a
// terminal and silent otherwise, so scripts and pipes see only results.
#ifndef WQADMIN_PROGRESS_H_
#define WQADMIN_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace wqadmin {

class Progress {
 public:
  // `total` 0: unknown (count and rate only).  `enabled` false: silent.
  Progress(std::string what, uint64_t total, bool enabled);
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Reports `done` items so far; redraws at most ten times a second.
  void Update(uint64_t done);
  // Clears the bar (nothing is left on the terminal).
  void Finish();

  // True when standard error is a terminal that can redraw a line.
  static bool Wanted();

 private:
  void Draw(uint64_t done, double seconds);

  std::string what_;
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

// 1234567 -> "1,234,567".
std::string Grouped(uint64_t n);

}  // namespace wqadmin

#endif  // WQADMIN_PROGRESS_H_
