// Shared helpers of the formula tests.
#ifndef TAVLO_TESTS_FORMULA_UTIL_H_
#define TAVLO_TESTS_FORMULA_UTIL_H_

#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "formula.h"

namespace tavlo::formula {

inline constexpr char kRequeue[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";

inline std::shared_ptr<const Program> MustCompile(std::string_view text) {
  std::shared_ptr<const Program> p;
  CompileError err;
  EXPECT_EQ(NOERROR, Compile(text, &p, &err))
      << text << ": " << err.message << " at " << err.offset;
  return p;
}

}  // namespace tavlo::formula

#endif  // TAVLO_TESTS_FORMULA_UTIL_H_
