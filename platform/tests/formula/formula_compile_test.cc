// QDSFormulaCompile and the formula handle: block layout, optional out
// pointers, error reporting, and that nothing is left allocated on any
// path.

#include <cstring>
#include <string>

#include "formula_util.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

namespace tavlo::formula {
namespace {

// What one call reported; the out values start as junk so that every one
// the call must set is seen to be set.
struct Result {
  STATUS status;
  FORMULAHANDLE h = 12345;
  WORD len = 9, line = 7, col = 7, off = 7, tokLen = 7;
  STATUS cerr = 7;
};

Result CompileText(const std::string& text) {
  Result r;
  r.status = QDSFormulaCompile(nullptr, 0, text.data(),
                               static_cast<WORD>(text.size()), &r.h, &r.len,
                               &r.cerr, &r.line, &r.col, &r.off, &r.tokLen);
  return r;
}

class FormulaCompileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OSMemTestDisarm();
    before_ = OSMemTestTotalBlocks();
  }
  void TearDown() override {
    OSMemTestDisarm();
    EXPECT_EQ(before_, OSMemTestTotalBlocks()) << "memory block leaked";
    DWORD blocks = 0, bytes = 0;
    OSMemTestCount(kFormulaBlockTag, &blocks, &bytes);
    EXPECT_EQ(0u, blocks) << "formula block left";
  }
  DWORD before_ = 0;
};

TEST_F(FormulaCompileTest, BlockHoldsHeaderAndText) {
  std::string text = kRequeue;
  Result r = CompileText(text);
  ASSERT_EQ(NOERROR, r.status);
  EXPECT_EQ(NOERROR, r.cerr);
  EXPECT_EQ(0, r.line + r.col + r.off + r.tokLen);
  EXPECT_EQ(8 + text.size(), r.len);
  DWORD size = 0;
  ASSERT_EQ(NOERROR, OSMemGetSize(r.h, &size));
  EXPECT_EQ(r.len, size);
  // "TQMF", the little-endian text length, then the text unterminated.
  const char* p = static_cast<const char*>(OSLockObject(r.h));
  ASSERT_NE(nullptr, p);
  const char lenBytes[] = {char(text.size()), char(text.size() >> 8), 0, 0};
  EXPECT_EQ(std::string("TQMF", 4) + std::string(lenBytes, 4) + text,
            std::string(p, size));
  OSUnlockObject(r.h);
  std::string back;
  ASSERT_EQ(NOERROR, TextFromHandle(r.h, &back));
  EXPECT_EQ(text, back);
  EXPECT_EQ(NOERROR, OSMemFree(r.h));
  EXPECT_EQ(ERR_BAD_FORMULA, TextFromHandle(r.h, &back)) << "freed";
}

TEST_F(FormulaCompileTest, GivenLengthAndOptionalOutPointers) {
  // The caller's length, not a terminator, ends the text.
  const char buf[] = "A = 1 garbage past the length";
  FORMULAHANDLE h = NULLHANDLE;
  ASSERT_EQ(NOERROR, QDSFormulaCompile("name", 4, buf, 5, &h, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr));
  std::string back;
  ASSERT_EQ(NOERROR, TextFromHandle(h, &back));
  EXPECT_EQ("A = 1", back);
  OSMemFree(h);
  // Without a handle to return nothing is allocated (checked on teardown).
  WORD len = 0;
  EXPECT_EQ(NOERROR, QDSFormulaCompile(nullptr, 0, buf, 5, nullptr, &len,
                                       nullptr, nullptr, nullptr, nullptr,
                                       nullptr));
  EXPECT_EQ(8 + 5, len);
  EXPECT_EQ(ERR_FORMULA_SYNTAX,
            QDSFormulaCompile(nullptr, 0, "A =", 3, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERR_FORMULA_SYNTAX,
            QDSFormulaCompile(nullptr, 0, nullptr, 0, &h, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(ERR_BAD_ARG,
            QDSFormulaCompile(nullptr, 0, nullptr, 5, &h, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr));
}

// Every failure returns no handle, a zero length, and allocates nothing.
TEST_F(FormulaCompileTest, FailuresLeaveNoBlock) {
  struct Case {
    std::string text;
    WORD faultKind;
    STATUS status, cerr;
    WORD line, col, off, tokLen;
  } cases[] = {
      {"(WQMsgStatus = 11) |\n  (WQMsgStatus = @Nine)", 0, ERR_FORMULA_SYNTAX,
       ERR_FORMULA_SYNTAX, 2, 18, 38, 5},
      {"", 0, ERR_FORMULA_SYNTAX, ERR_FORMULA_SYNTAX, 1, 1, 0, 0},
      {std::string(300, '('), 0, ERR_FORMULA_TOO_BIG, ERR_FORMULA_TOO_BIG, 1,
       kMaxFormulaNesting + 1, kMaxFormulaNesting, 1},
      // The block size travels in a WORD: a text whose block would not
      // fit is refused rather than reported with a wrapped length.
      {"@True" + std::string(0xFFFF - 8 - 5 + 1, ' '), 0, ERR_FORMULA_TOO_BIG,
       ERR_FORMULA_TOO_BIG, 0, 0, 0, 0},
      // The formula itself is fine when the memory fails.
      {kRequeue, OSMEM_FAULT_ALLOC, ERR_MEMORY, NOERROR, 0, 0, 0, 0},
      {kRequeue, OSMEM_FAULT_LOCK, ERR_MEMORY, NOERROR, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    if (c.faultKind) OSMemTestFailNth(c.faultKind, 1);
    Result r = CompileText(c.text);
    if (c.faultKind) {
      EXPECT_TRUE(OSMemTestFaultFired());
    }
    OSMemTestDisarm();
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(NULLHANDLE, r.h);
    EXPECT_EQ(0, r.len);
    EXPECT_EQ(c.cerr, r.cerr);
    if (c.line == 0) continue;  // no position to check
    EXPECT_EQ(c.line, r.line);
    EXPECT_EQ(c.col, r.col);
    EXPECT_EQ(c.off, r.off);
    EXPECT_EQ(c.tokLen, r.tokLen);
  }
  Result fits = CompileText("@True" + std::string(0xFFFF - 8 - 5, ' '));
  ASSERT_EQ(NOERROR, fits.status);
  EXPECT_EQ(0xFFFF, fits.len);
  OSMemFree(fits.h);
}

TEST_F(FormulaCompileTest, TextFromHandleRejectsOtherBlocks) {
  std::string text;
  EXPECT_EQ(ERR_BAD_FORMULA, TextFromHandle(NULLHANDLE, &text));
  EXPECT_EQ(ERR_BAD_FORMULA, TextFromHandle(0xDEADBEEF, &text));
  DHANDLE small = NULLHANDLE;
  ASSERT_EQ(NOERROR, OSMemAlloc(0x1234, 4, &small));
  EXPECT_EQ(ERR_BAD_FORMULA, TextFromHandle(small, &text));
  OSMemFree(small);
  // Wrong magic, a length that disagrees with the block, then a good one.
  DHANDLE other = NULLHANDLE;
  ASSERT_EQ(NOERROR, OSMemAlloc(0x1234, 12, &other));
  const FormulaBlockHeader headers[] = {
      {0x12345678, 4}, {kFormulaMagic, 5}, {kFormulaMagic, 4}};
  for (const FormulaBlockHeader& hdr : headers) {
    char* p = static_cast<char*>(OSLockObject(other));
    std::memcpy(p, &hdr, sizeof hdr);
    std::memcpy(p + 8, "@All", 4);
    OSUnlockObject(other);
    STATUS want = &hdr == &headers[2] ? NOERROR : ERR_BAD_FORMULA;
    EXPECT_EQ(want, TextFromHandle(other, &text)) << hdr.textLength;
  }
  EXPECT_EQ("@All", text);
  // The lock taken to read it is given back.
  EXPECT_EQ(NOERROR, OSMemRealloc(other, 16));
  OSMemFree(other);
}

}  // namespace
}  // namespace tavlo::formula
