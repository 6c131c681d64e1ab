// Parse errors are reported at the exact token.

#include <string>

#include "formula_util.h"

namespace tavlo::formula {
namespace {

struct ErrorCase {
  std::string text;
  WORD line, column, offset, length;
  const char* message;
};

TEST(FormulaParse, ErrorPositions) {
  const ErrorCase cases[] = {
      {"A = \"abc", 1, 5, 4, 4, "unterminated string"},
      {"A = 1 |\n  (B = 2\n  & C = )", 3, 9, 25, 1, "expected an expression"},
      {"A = \"x\ny\" &\n\n  @Nope", 4, 3, 15, 5, "unknown @function @Nope"},
  };
  for (const ErrorCase& c : cases) {
    std::shared_ptr<const Program> p;
    CompileError e;
    EXPECT_EQ(ERR_FORMULA_SYNTAX, Compile(c.text, &p, &e)) << c.text;
    EXPECT_EQ(nullptr, p) << c.text;
    EXPECT_EQ(c.line, e.line) << c.text;
    EXPECT_EQ(c.column, e.column) << c.text;
    EXPECT_EQ(c.offset, e.offset) << c.text;
    EXPECT_EQ(c.length, e.length) << c.text;
    EXPECT_EQ(c.message, e.message) << c.text;
  }
}

}  // namespace
}  // namespace tavlo::formula
