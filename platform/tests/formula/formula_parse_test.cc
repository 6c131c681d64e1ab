// Parsing: every construct of the language, precedence and associativity,
// and errors reported at the exact token with line, column, offset and
// length.

#include <gtest/gtest.h>

#include <string>

#include "formula.h"

namespace tavlo::formula {
namespace {

std::shared_ptr<const Program> MustCompile(std::string_view text) {
  std::shared_ptr<const Program> p;
  CompileError err;
  STATUS s = Compile(text, &p, &err);
  EXPECT_EQ(s, NOERROR) << "formula: " << text << " error: " << err.message
                        << " at " << err.offset;
  return p;
}

CompileError MustFail(std::string_view text,
                      STATUS want = ERR_FORMULA_SYNTAX) {
  std::shared_ptr<const Program> p;
  CompileError err;
  STATUS s = Compile(text, &p, &err);
  EXPECT_EQ(s, want) << "formula: " << text;
  EXPECT_EQ(err.status, want);
  EXPECT_EQ(p, nullptr);
  return err;
}

void ExpectError(std::string_view text, WORD line, WORD column, WORD offset,
                 WORD length, const std::string& message) {
  CompileError e = MustFail(text);
  EXPECT_EQ(e.line, line) << text;
  EXPECT_EQ(e.column, column) << text;
  EXPECT_EQ(e.offset, offset) << text;
  EXPECT_EQ(e.length, length) << text;
  EXPECT_EQ(e.message, message) << text;
}

const Node& Root(const Program& p) { return p.nodes[p.root]; }
const Node& Child(const Program& p, const Node& n, uint32_t k) {
  return p.nodes[p.children[n.a + k]];
}

TEST(FormulaParse, TheRequeueFormula) {
  auto p = MustCompile(
      "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
      "(WQMsgStatus = 7))");
  ASSERT_TRUE(p);
  const Node& r = Root(*p);
  ASSERT_EQ(r.kind, NodeKind::kOr);
  ASSERT_EQ(r.b, 4u);
  const double want[] = {11, 9, 10, 7};
  for (uint32_t k = 0; k < 4; k++) {
    const Node& c = Child(*p, r, k);
    ASSERT_EQ(c.kind, NodeKind::kCompare);
    EXPECT_EQ(c.cmp, CompareOp::kEq);
    EXPECT_EQ(p->nodes[c.a].kind, NodeKind::kItem);
    EXPECT_EQ(p->nodes[c.b].kind, NodeKind::kNumber);
    EXPECT_EQ(p->nodes[c.b].number, want[k]);
  }
  // One item named four times is looked up once.
  ASSERT_EQ(p->slots.size(), 1u);
  EXPECT_EQ(p->slots[0], "wqmsgstatus");
}

TEST(FormulaParse, EveryConstructCompiles) {
  const char* ok[] = {
      "A = 1",
      "SELECT A = 1",
      "select A = 1",
      "SeLeCt (A = 1)",
      "SELECT @All",
      "a_b$c.d9 = 2",
      "_x = 1",
      "$Name = \"x\"",
      "A = 1.25",
      "A = 0.5",
      "A = -3",
      "A = - 3.5",
      "-3 = A",
      "11 = WQMsgStatus",
      "A = \"quote \\\" backslash \\\\ done\"",
      "A = \"\"",
      "A != 1", "A <> 1", "A < 1", "A > 1", "A <= 1", "A >= 1",
      "A = 1 & B = 2", "A = 1 | B = 2", "!A", "!(A = 1)", "!!A",
      "@All", "@ALL", "@all", "@True", "@TRUE", "@False", "@false",
      "A = 1;", "A = 1 ;  \n", "SELECT @All;",
      "A", "A & B | C",
      "\"x\" = A", "A = B",
      "  \t\r\n A\n=\n1  ",
      "SELECT = 1",   // an item called SELECT
      "SELECT & B",   // likewise
  };
  for (const char* f : ok) MustCompile(f);
}

TEST(FormulaParse, StringEscapesAreDecoded) {
  auto p = MustCompile("A = \"a\\\"b\\\\c\"");
  ASSERT_TRUE(p);
  const Node& r = Root(*p);
  ASSERT_EQ(r.kind, NodeKind::kCompare);
  const Node& s = p->nodes[r.b];
  ASSERT_EQ(s.kind, NodeKind::kText);
  EXPECT_EQ(p->strings[s.a], "a\"b\\c");
}

TEST(FormulaParse, UnaryMinusNegatesTheNumber) {
  auto p = MustCompile("A = -2.5");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->nodes[Root(*p).b].number, -2.5);
}

TEST(FormulaParse, SelectKeywordIsNotAnItem) {
  auto p = MustCompile("SELECT A = 1");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->slots.size(), 1u);
  EXPECT_EQ(p->slots[0], "a");
  auto q = MustCompile("select = 1");
  ASSERT_TRUE(q);
  ASSERT_EQ(q->slots.size(), 1u);
  EXPECT_EQ(q->slots[0], "select");
}

TEST(FormulaParse, OrBindsLooserThanComparison) {
  auto p = MustCompile("a = 1 | b = 2");
  ASSERT_TRUE(p);
  const Node& r = Root(*p);
  ASSERT_EQ(r.kind, NodeKind::kOr);
  ASSERT_EQ(r.b, 2u);
  EXPECT_EQ(Child(*p, r, 0).kind, NodeKind::kCompare);
  EXPECT_EQ(Child(*p, r, 1).kind, NodeKind::kCompare);
}

TEST(FormulaParse, AndBindsTighterThanOr) {
  auto p = MustCompile("A = 1 | B = 2 & C = 3");
  ASSERT_TRUE(p);
  const Node& r = Root(*p);
  ASSERT_EQ(r.kind, NodeKind::kOr);
  ASSERT_EQ(r.b, 2u);
  EXPECT_EQ(Child(*p, r, 0).kind, NodeKind::kCompare);
  const Node& a = Child(*p, r, 1);
  ASSERT_EQ(a.kind, NodeKind::kAnd);
  EXPECT_EQ(a.b, 2u);
}

TEST(FormulaParse, NotBindsTighterThanComparison) {
  // !A = 1 is (!A) = 1.
  auto p = MustCompile("!A = 1");
  ASSERT_TRUE(p);
  const Node& r = Root(*p);
  ASSERT_EQ(r.kind, NodeKind::kCompare);
  EXPECT_EQ(p->nodes[r.a].kind, NodeKind::kNot);
}

TEST(FormulaParse, ComparisonsAreLeftAssociative) {
  auto p = MustCompile("A = 1 = 2");
  ASSERT_TRUE(p);
  const Node& r = Root(*p);
  ASSERT_EQ(r.kind, NodeKind::kCompare);
  EXPECT_EQ(p->nodes[r.a].kind, NodeKind::kCompare);
  EXPECT_EQ(p->nodes[r.b].kind, NodeKind::kNumber);
}

TEST(FormulaParse, ChainsAreFlat) {
  auto p = MustCompile("A=1 | B=2 | C=3 | D=4 | E=5");
  ASSERT_TRUE(p);
  EXPECT_EQ(Root(*p).kind, NodeKind::kOr);
  EXPECT_EQ(Root(*p).b, 5u);
  auto q = MustCompile("(A=1) & (B=2) & C");
  ASSERT_TRUE(q);
  EXPECT_EQ(Root(*q).kind, NodeKind::kAnd);
  EXPECT_EQ(Root(*q).b, 3u);
}

TEST(FormulaParse, ItemNamesFoldToOneSlot) {
  auto p = MustCompile("abc = 1 | ABC = 2 | aBc = 3 | other = 4");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->slots.size(), 2u);
  EXPECT_EQ(p->slots[0], "abc");
  EXPECT_EQ(p->slots[1], "other");
}

TEST(FormulaParse, ErrorPositions) {
  ExpectError("A = ", 1, 5, 4, 0, "expected an expression");
  ExpectError("(A = 1", 1, 7, 6, 0, "expected ')'");
  ExpectError("(A = 1 B", 1, 8, 7, 1, "expected ')'");
  ExpectError("A = \"abc", 1, 5, 4, 4, "unterminated string");
  ExpectError("A = \"ab\\", 1, 5, 4, 4, "unterminated string");
  ExpectError("@Foo", 1, 1, 0, 4, "unknown @function @Foo");
  ExpectError("A = 1 | @IsAvailable(A)", 1, 9, 8, 12,
              "unknown @function @IsAvailable");
  ExpectError("@ = 1", 1, 1, 0, 1, "expected a function name after '@'");
  ExpectError("A # 1", 1, 3, 2, 1, "unexpected character '#'");
  ExpectError("A = 1 B", 1, 7, 6, 1,
              "expected an operator or the end of the formula");
  ExpectError("A = 1)", 1, 6, 5, 1, "unmatched ')'");
  ExpectError("A = 1;;", 1, 7, 6, 1,
              "expected the end of the formula after ';'");
  ExpectError("A = 1; B = 2", 1, 8, 7, 1,
              "expected the end of the formula after ';'");
  ExpectError("A = 12abc", 1, 5, 4, 5, "malformed number");
  ExpectError("A = 1.", 1, 5, 4, 2, "malformed number");
  ExpectError("A = 1.2.3", 1, 5, 4, 5, "malformed number");
  ExpectError("A = \"a\\nb\"", 1, 7, 6, 2, "unknown escape '\\n' in string");
  ExpectError("A = 1" + std::string(400, '0'), 1, 5, 4, 401,
              "number out of range");
  ExpectError("A = .5", 1, 5, 4, 1, "unexpected character '.'");
  ExpectError("A = - B", 1, 7, 6, 1, "expected a number after '-'");
  ExpectError("A = --1", 1, 6, 5, 1, "expected a number after '-'");
  ExpectError("& A", 1, 1, 0, 1, "expected an expression");
  ExpectError("A = 1 &", 1, 8, 7, 0, "expected an expression");
  ExpectError("()", 1, 2, 1, 1, "expected an expression");
  ExpectError("A = !", 1, 6, 5, 0, "expected an expression");
  ExpectError("", 1, 1, 0, 0, "empty formula");
  ExpectError("   \n ", 2, 2, 5, 0, "empty formula");
  ExpectError("SELECT", 1, 7, 6, 0, "expected an expression");
  ExpectError("SELECT;", 1, 7, 6, 1, "expected an expression");
  ExpectError("A == 1", 1, 4, 3, 1, "expected an expression");
  ExpectError("A = 1 && B = 2", 1, 8, 7, 1, "expected an expression");
  ExpectError(std::string_view("A = \0", 5), 1, 5, 4, 1,
              "unexpected character '\\x00'");
  ExpectError("A = \xC3\xA9", 1, 5, 4, 1, "unexpected character '\\xC3'");
}

TEST(FormulaParse, ErrorPositionsOnLaterLines) {
  // Line 3 is "  & C = )"; its ')' is column 9, byte 8 + 9 + 8.
  ExpectError("A = 1 |\n  (B = 2\n  & C = )", 3, 9, 25, 1,
              "expected an expression");
  // A carriage return is ordinary white space: only '\n' starts a line.
  ExpectError("A = 1 |\r\n B = )", 2, 6, 14, 1, "expected an expression");
  // A string running over a line break counts its lines too.
  ExpectError("A = \"x\ny\" &\n\n  @Nope", 4, 3, 15, 5,
              "unknown @function @Nope");
  // Tabs count as one column.
  ExpectError("\tA\t=\t#", 1, 6, 5, 1, "unexpected character '#'");
  // The end of a multi-line text.
  ExpectError("(A = 1 |\nB = 2\n", 3, 1, 15, 0, "expected ')'");
}

TEST(FormulaParse, NestingAtTheLimitCompiles) {
  std::string f(kMaxFormulaNesting, '(');
  f += "A = 1";
  f += std::string(kMaxFormulaNesting, ')');
  MustCompile(f);
  std::string n(kMaxFormulaNesting, '!');
  MustCompile(n + "A");
}

TEST(FormulaParse, NestingPastTheLimitIsTooBig) {
  std::string f(kMaxFormulaNesting + 1, '(');
  f += "A = 1";
  f += std::string(kMaxFormulaNesting + 1, ')');
  CompileError e = MustFail(f, ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(e.offset, kMaxFormulaNesting);  // the first '(' too many
  EXPECT_EQ(e.length, 1);
  EXPECT_EQ(e.column, kMaxFormulaNesting + 1);

  std::string n = "A & " + std::string(kMaxFormulaNesting + 1, '!') + "B";
  e = MustFail(n, ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(e.offset, 4 + kMaxFormulaNesting);

  // Far deeper than any stack would take, still a clean error.
  std::string deep(60000, '(');
  e = MustFail(deep, ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(e.offset, kMaxFormulaNesting);
}

TEST(FormulaParse, LongChainsCostNoDepth) {
  // ~9000 alternatives in one flat OR; no nesting limit applies.
  std::string f = "A = 0";
  for (int i = 1; i < 9000; i++) f += "|A=" + std::to_string(i % 10);
  ASSERT_LE(f.size(), kMaxFormulaText);
  auto p = MustCompile(f);
  ASSERT_TRUE(p);
  EXPECT_EQ(Root(*p).b, 9000u);
}

TEST(FormulaParse, ChainedComparisonsAreBounded) {
  std::string ok = "1";
  for (int i = 0; i < 1000; i++) ok += "=1";
  MustCompile(ok);
  std::string bad = "1";
  for (int i = 0; i < 20000; i++) bad += "=1";
  MustFail(bad, ERR_FORMULA_TOO_BIG);
}

TEST(FormulaParse, TextLengthLimit) {
  std::string atLimit = "@True" + std::string(kMaxFormulaText - 5, ' ');
  ASSERT_EQ(atLimit.size(), kMaxFormulaText);
  MustCompile(atLimit);
  CompileError e = MustFail(atLimit + " ", ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(e.line, 1);
  EXPECT_EQ(e.column, 1);
  EXPECT_EQ(e.offset, 0);
  EXPECT_EQ(e.length, 0);
  EXPECT_FALSE(e.message.empty());
}

TEST(FormulaParse, OutPointersMayBeNull) {
  EXPECT_EQ(Compile("A = 1", nullptr, nullptr), NOERROR);
  EXPECT_EQ(Compile("A = ", nullptr, nullptr), ERR_FORMULA_SYNTAX);
}

TEST(FormulaParse, ErrorClearsPreviousContents) {
  CompileError err;
  err.message = "stale";
  err.line = 99;
  EXPECT_EQ(Compile("A = 1", nullptr, &err), NOERROR);
  EXPECT_EQ(err.status, NOERROR);
  EXPECT_EQ(err.line, 0);
  EXPECT_TRUE(err.message.empty());
}

}  // namespace
}  // namespace tavlo::formula
