// QDSFormulaCompile and the formula handle: block layout, optional out
// pointers, error reporting, and that nothing is left allocated on any
// path.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "formula.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

namespace tavlo::formula {
namespace {

const char kRequeue[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";

class FormulaCompileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OSMemTestDisarm();
    before_ = OSMemTestTotalBlocks();
  }
  void TearDown() override {
    OSMemTestDisarm();
    EXPECT_EQ(OSMemTestTotalBlocks(), before_) << "memory block leaked";
  }
  DWORD LiveFormulaBlocks() {
    DWORD blocks = 0, bytes = 0;
    OSMemTestCount(kFormulaBlockTag, &blocks, &bytes);
    return blocks;
  }
  DWORD before_ = 0;
};

STATUS CompileText(const std::string& text, FORMULAHANDLE* h, WORD* len,
                   STATUS* cerr, WORD* line, WORD* col, WORD* off,
                   WORD* tokLen) {
  return QDSFormulaCompile(nullptr, 0, text.data(),
                           static_cast<WORD>(text.size()), h, len, cerr, line,
                           col, off, tokLen);
}

TEST_F(FormulaCompileTest, BlockHoldsHeaderAndText) {
  FORMULAHANDLE h = NULLHANDLE;
  WORD len = 0, line = 7, col = 7, off = 7, tokLen = 7;
  STATUS cerr = 7;
  std::string text = kRequeue;
  ASSERT_EQ(CompileText(text, &h, &len, &cerr, &line, &col, &off, &tokLen),
            NOERROR);
  ASSERT_NE(h, NULLHANDLE);
  EXPECT_EQ(cerr, NOERROR);
  EXPECT_EQ(line, 0);
  EXPECT_EQ(col, 0);
  EXPECT_EQ(off, 0);
  EXPECT_EQ(tokLen, 0);
  EXPECT_EQ(len, sizeof(FormulaBlockHeader) + text.size());
  EXPECT_EQ(LiveFormulaBlocks(), 1u);

  DWORD size = 0;
  ASSERT_EQ(OSMemGetSize(h, &size), NOERROR);
  EXPECT_EQ(size, len);
  const unsigned char* p = static_cast<const unsigned char*>(OSLockObject(h));
  ASSERT_NE(p, nullptr);
  // "TQMF" magic, little-endian length, then the text unterminated.
  const unsigned char magic[] = {0x54, 0x51, 0x4D, 0x46};
  EXPECT_EQ(std::memcmp(p, magic, 4), 0);
  DWORD textLen = p[4] | (p[5] << 8) | (p[6] << 16) | (DWORD(p[7]) << 24);
  EXPECT_EQ(textLen, text.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p) + 8, textLen), text);
  OSUnlockObject(h);

  std::string back;
  ASSERT_EQ(TextFromHandle(h, &back), NOERROR);
  EXPECT_EQ(back, text);

  EXPECT_EQ(OSMemFree(h), NOERROR);
  EXPECT_EQ(LiveFormulaBlocks(), 0u);
}

TEST_F(FormulaCompileTest, OnlyTheGivenLengthIsTaken) {
  // The caller's length, not a terminator, ends the text.
  const char buf[] = "A = 1 garbage past the length";
  FORMULAHANDLE h = NULLHANDLE;
  ASSERT_EQ(QDSFormulaCompile("name", 4, buf, 5, &h, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  std::string back;
  ASSERT_EQ(TextFromHandle(h, &back), NOERROR);
  EXPECT_EQ(back, "A = 1");
  OSMemFree(h);
}

TEST_F(FormulaCompileTest, AllOutPointersOptional) {
  std::string text = kRequeue;
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, text.data(),
                              static_cast<WORD>(text.size()), nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr),
            NOERROR);
  // Without a handle to return, nothing is allocated.
  EXPECT_EQ(LiveFormulaBlocks(), 0u);
  WORD len = 0;
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, text.data(),
                              static_cast<WORD>(text.size()), nullptr, &len,
                              nullptr, nullptr, nullptr, nullptr, nullptr),
            NOERROR);
  EXPECT_EQ(len, sizeof(FormulaBlockHeader) + text.size());
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, "A =", 3, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr),
            ERR_FORMULA_SYNTAX);
}

TEST_F(FormulaCompileTest, SyntaxErrorAllocatesNothingAndReportsPosition) {
  FORMULAHANDLE h = 12345;
  WORD len = 9, line = 0, col = 0, off = 0, tokLen = 0;
  STATUS cerr = 0;
  std::string text = "(WQMsgStatus = 11) |\n  (WQMsgStatus = @Nine)";
  EXPECT_EQ(CompileText(text, &h, &len, &cerr, &line, &col, &off, &tokLen),
            ERR_FORMULA_SYNTAX);
  EXPECT_EQ(h, NULLHANDLE);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(cerr, ERR_FORMULA_SYNTAX);
  EXPECT_EQ(line, 2);
  EXPECT_EQ(col, 18);
  EXPECT_EQ(off, 38);
  EXPECT_EQ(tokLen, 5);
  EXPECT_EQ(LiveFormulaBlocks(), 0u);
}

TEST_F(FormulaCompileTest, EmptyAndNullTexts) {
  FORMULAHANDLE h = NULLHANDLE;
  STATUS cerr = 0;
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, nullptr, 0, &h, nullptr, &cerr,
                              nullptr, nullptr, nullptr, nullptr),
            ERR_FORMULA_SYNTAX);
  EXPECT_EQ(cerr, ERR_FORMULA_SYNTAX);
  EXPECT_EQ(h, NULLHANDLE);
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, nullptr, 5, &h, nullptr, &cerr,
                              nullptr, nullptr, nullptr, nullptr),
            ERR_BAD_ARG);
  EXPECT_EQ(h, NULLHANDLE);
}

TEST_F(FormulaCompileTest, NestingTooDeep) {
  std::string text(300, '(');
  FORMULAHANDLE h = NULLHANDLE;
  STATUS cerr = 0;
  WORD off = 0;
  EXPECT_EQ(QDSFormulaCompile(nullptr, 0, text.data(),
                              static_cast<WORD>(text.size()), &h, nullptr,
                              &cerr, nullptr, nullptr, &off, nullptr),
            ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(cerr, ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(off, kMaxFormulaNesting);
  EXPECT_EQ(h, NULLHANDLE);
}

TEST_F(FormulaCompileTest, TextTooLongForItsBlockSize) {
  // The block size travels in a WORD; a formula whose block would not fit
  // is refused rather than reported with a wrapped length.
  std::string fits = "@True" + std::string(0xFFFF - 8 - 5, ' ');
  FORMULAHANDLE h = NULLHANDLE;
  WORD len = 0;
  ASSERT_EQ(CompileText(fits, &h, &len, nullptr, nullptr, nullptr, nullptr,
                        nullptr),
            NOERROR);
  EXPECT_EQ(len, 0xFFFF);
  OSMemFree(h);
  std::string over = fits + " ";
  STATUS cerr = 0;
  EXPECT_EQ(CompileText(over, &h, &len, &cerr, nullptr, nullptr, nullptr,
                        nullptr),
            ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(cerr, ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(h, NULLHANDLE);
  EXPECT_EQ(len, 0);
}

TEST_F(FormulaCompileTest, AllocationFailureLeavesNothing) {
  FORMULAHANDLE h = NULLHANDLE;
  WORD len = 1;
  STATUS cerr = 9;
  OSMemTestFailNth(OSMEM_FAULT_ALLOC, 1);
  EXPECT_EQ(CompileText(kRequeue, &h, &len, &cerr, nullptr, nullptr, nullptr,
                        nullptr),
            ERR_MEMORY);
  EXPECT_TRUE(OSMemTestFaultFired());
  EXPECT_EQ(h, NULLHANDLE);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(cerr, NOERROR);  // the formula itself is fine
  EXPECT_EQ(LiveFormulaBlocks(), 0u);
}

TEST_F(FormulaCompileTest, LockFailureFreesTheBlock) {
  FORMULAHANDLE h = NULLHANDLE;
  OSMemTestFailNth(OSMEM_FAULT_LOCK, 1);
  EXPECT_EQ(CompileText(kRequeue, &h, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr),
            ERR_MEMORY);
  EXPECT_TRUE(OSMemTestFaultFired());
  EXPECT_EQ(h, NULLHANDLE);
  EXPECT_EQ(LiveFormulaBlocks(), 0u);
}

TEST_F(FormulaCompileTest, TextFromHandleRejectsOtherBlocks) {
  std::string text;
  EXPECT_EQ(TextFromHandle(NULLHANDLE, &text), ERR_BAD_FORMULA);
  EXPECT_EQ(TextFromHandle(0xDEADBEEF, &text), ERR_BAD_FORMULA);

  DHANDLE small = NULLHANDLE;
  ASSERT_EQ(OSMemAlloc(0x1234, 4, &small), NOERROR);
  EXPECT_EQ(TextFromHandle(small, &text), ERR_BAD_FORMULA);
  OSMemFree(small);

  // Right size, wrong magic.
  DHANDLE other = NULLHANDLE;
  ASSERT_EQ(OSMemAlloc(0x1234, 12, &other), NOERROR);
  char* p = static_cast<char*>(OSLockObject(other));
  ASSERT_NE(p, nullptr);
  FormulaBlockHeader hdr{0x12345678, 4};
  std::memcpy(p, &hdr, sizeof hdr);
  OSUnlockObject(other);
  EXPECT_EQ(TextFromHandle(other, &text), ERR_BAD_FORMULA);
  // Right magic, length that disagrees with the block.
  p = static_cast<char*>(OSLockObject(other));
  hdr = {kFormulaMagic, 5};
  std::memcpy(p, &hdr, sizeof hdr);
  OSUnlockObject(other);
  EXPECT_EQ(TextFromHandle(other, &text), ERR_BAD_FORMULA);
  // And a good one, written by hand.
  p = static_cast<char*>(OSLockObject(other));
  hdr = {kFormulaMagic, 4};
  std::memcpy(p, &hdr, sizeof hdr);
  std::memcpy(p + 8, "@All", 4);
  OSUnlockObject(other);
  EXPECT_EQ(TextFromHandle(other, &text), NOERROR);
  EXPECT_EQ(text, "@All");
  // The lock taken to read it is given back.
  EXPECT_EQ(OSMemRealloc(other, 16), NOERROR);
  OSMemFree(other);
}

TEST_F(FormulaCompileTest, FreedHandleIsNotAFormula) {
  FORMULAHANDLE h = NULLHANDLE;
  ASSERT_EQ(CompileText("A = 1", &h, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr),
            NOERROR);
  ASSERT_EQ(OSMemFree(h), NOERROR);
  std::string text;
  EXPECT_EQ(TextFromHandle(h, &text), ERR_BAD_FORMULA);
}

TEST_F(FormulaCompileTest, HandleTextCompilesToTheSameProgram) {
  FORMULAHANDLE h = NULLHANDLE;
  ASSERT_EQ(CompileText(kRequeue, &h, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr),
            NOERROR);
  std::string text;
  ASSERT_EQ(TextFromHandle(h, &text), NOERROR);
  std::shared_ptr<const Program> p;
  ASSERT_EQ(Compile(text, &p, nullptr), NOERROR);
  auto plan = IndexPlan(*p);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->size(), 4u);
  OSMemFree(h);
}

}  // namespace
}  // namespace tavlo::formula
