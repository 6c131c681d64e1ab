// QDSFormulaCompile: a failure returns no handle and allocates nothing.

#include <string>

#include "formula_util.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

namespace tavlo::formula {
namespace {

TEST(FormulaCompileTest, ErrorLeavesNoBlock) {
  OSMemTestDisarm();
  DWORD before = OSMemTestTotalBlocks();
  std::string text = "(WQMsgStatus = 11) |\n  (WQMsgStatus = @Nine)";
  FORMULAHANDLE h = 12345;
  WORD len = 9, line = 7, col = 7, off = 7, tokLen = 7;
  STATUS cerr = 7;
  STATUS status = QDSFormulaCompile(nullptr, 0, text.data(),
                                    static_cast<WORD>(text.size()), &h, &len,
                                    &cerr, &line, &col, &off, &tokLen);
  EXPECT_EQ(ERR_FORMULA_SYNTAX, status);
  EXPECT_EQ(NULLHANDLE, h);
  EXPECT_EQ(0, len);
  EXPECT_EQ(ERR_FORMULA_SYNTAX, cerr);
  EXPECT_EQ(before, OSMemTestTotalBlocks()) << "memory block leaked";
}

}  // namespace
}  // namespace tavlo::formula
