// Parsing: every construct of the language, precedence and associativity
// shown as the compiled tree, and errors reported at the exact token with
// line, column, offset and length.

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "formula_util.h"

namespace tavlo::formula {
namespace {

// The tree in prefix form: items by slot name, numbers and texts as
// values, operators around their operands.
std::string Show(const Program& p, uint32_t i) {
  const Node& n = p.nodes[i];
  static const char* kOps[] = {"=", "!=", "<", ">", "<=", ">="};
  switch (n.kind) {
    case NodeKind::kNumber: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%g", n.number);
      return buf;
    }
    case NodeKind::kText: return "\"" + p.strings[n.a] + "\"";
    case NodeKind::kItem: return p.slots[n.a];
    case NodeKind::kNot: return "!" + Show(p, n.a);
    case NodeKind::kCompare:
      return "(" + Show(p, n.a) + kOps[int(n.cmp)] + Show(p, n.b) + ")";
    case NodeKind::kAnd:
    case NodeKind::kOr: {
      std::string s = n.kind == NodeKind::kAnd ? "and(" : "or(";
      for (uint32_t k = 0; k < n.b; k++) {
        if (k) s += ',';
        s += Show(p, p.children[n.a + k]);
      }
      return s + ")";
    }
  }
  return "?";
}

std::string Tree(std::string_view text) {
  auto p = MustCompile(text);
  return p ? Show(*p, p->root) : "<error>";
}

TEST(FormulaParse, TreesShowPrecedenceAndAssociativity) {
  const std::pair<const char*, const char*> cases[] = {
      {kRequeue,
       "or((wqmsgstatus=11),(wqmsgstatus=9),(wqmsgstatus=10),(wqmsgstatus=7))"},
      {"A = 1 | B = 2 & C = 3", "or((a=1),and((b=2),(c=3)))"},
      {"(A = 1 | B = 2) & C", "and(or((a=1),(b=2)),c)"},
      {"!A = 1", "(!a=1)"},  // ! binds tighter than comparison
      {"!(A = 1)", "!(a=1)"},
      {"!!A", "!!a"},
      {"A = 1 = 2", "((a=1)=2)"},  // comparisons chain to the left
      {"A=1 | B=2 | C=3 | D=4 | E=5", "or((a=1),(b=2),(c=3),(d=4),(e=5))"},
      {"(A=1) & (B=2) & C", "and((a=1),(b=2),c)"},
      {"A != 1 | A <> 2 | A < 3 | A > 4 | A <= 5 | A >= 6",
       "or((a!=1),(a!=2),(a<3),(a>4),(a<=5),(a>=6))"},
      {"SELECT 11 = x;", "(11=x)"},
      {"select = 1", "(select=1)"},  // an item called SELECT
      {"SeLeCt (A = 1)", "(a=1)"},
      {"A = -2.5 | A = - 3 | A = 0.5", "or((a=-2.5),(a=-3),(a=0.5))"},
      {"A = \"a\\\"b\\\\c\" | A = \"\"", "or((a=\"a\"b\\c\"),(a=\"\"))"},
      {"a_b$c.d9 = 2 & _x & $Name", "and((a_b$c.d9=2),_x,$name)"},
      {"  \t\r\n A\n=\n1 ;  \n", "(a=1)"},
  };
  for (const auto& [text, tree] : cases) EXPECT_EQ(tree, Tree(text)) << text;
}

TEST(FormulaParse, ItemSlots) {
  for (const char* f : {"@ALL", "@all", "@TRUE", "@false"}) MustCompile(f);
  // One item named in any case is looked up once.
  auto p = MustCompile("abc = 1 | ABC = 2 | aBc = 3 | other = 4");
  ASSERT_TRUE(p);
  EXPECT_EQ((std::vector<std::string>{"abc", "other"}), p->slots);
  auto q = MustCompile(kRequeue);
  ASSERT_TRUE(q);
  EXPECT_EQ((std::vector<std::string>{"wqmsgstatus"}), q->slots);
}

struct ErrorCase {
  std::string text;
  WORD line, column, offset, length;
  const char* message;
};

TEST(FormulaParse, ErrorPositions) {
  const ErrorCase cases[] = {
      {"A = ", 1, 5, 4, 0, "expected an expression"},
      {"(A = 1", 1, 7, 6, 0, "expected ')'"},
      {"(A = 1 B", 1, 8, 7, 1, "expected ')'"},
      {"A = \"abc", 1, 5, 4, 4, "unterminated string"},
      {"A = \"ab\\", 1, 5, 4, 4, "unterminated string"},
      {"@Foo", 1, 1, 0, 4, "unknown @function @Foo"},
      {"A = 1 | @IsAvailable(A)", 1, 9, 8, 12, "unknown @function @IsAvailable"},
      {"@ = 1", 1, 1, 0, 1, "expected a function name after '@'"},
      {"A # 1", 1, 3, 2, 1, "unexpected character '#'"},
      {"A = 1 B", 1, 7, 6, 1, "expected an operator or the end of the formula"},
      {"A = 1)", 1, 6, 5, 1, "unmatched ')'"},
      {"A = 1;;", 1, 7, 6, 1, "expected the end of the formula after ';'"},
      {"A = 1; B = 2", 1, 8, 7, 1, "expected the end of the formula after ';'"},
      {"A = 12abc", 1, 5, 4, 5, "malformed number"},
      {"A = 1.", 1, 5, 4, 2, "malformed number"},
      {"A = 1.2.3", 1, 5, 4, 5, "malformed number"},
      {"A = \"a\\nb\"", 1, 7, 6, 2, "unknown escape '\\n' in string"},
      {"A = 1" + std::string(400, '0'), 1, 5, 4, 401, "number out of range"},
      {"A = .5", 1, 5, 4, 1, "unexpected character '.'"},
      {"A = - B", 1, 7, 6, 1, "expected a number after '-'"},
      {"A = --1", 1, 6, 5, 1, "expected a number after '-'"},
      {"& A", 1, 1, 0, 1, "expected an expression"},
      {"A = 1 &", 1, 8, 7, 0, "expected an expression"},
      {"()", 1, 2, 1, 1, "expected an expression"},
      {"A = !", 1, 6, 5, 0, "expected an expression"},
      {"", 1, 1, 0, 0, "empty formula"},
      {"SELECT;", 1, 7, 6, 1, "expected an expression"},
      {"A == 1", 1, 4, 3, 1, "expected an expression"},
      {"A = 1 && B = 2", 1, 8, 7, 1, "expected an expression"},
      {std::string("A = \0", 5), 1, 5, 4, 1, "unexpected character '\\x00'"},
      {"A = \xC3\xA9", 1, 5, 4, 1, "unexpected character '\\xC3'"},
      // Later lines: only '\n' starts one, a tab is one column, and a
      // string running over a line break counts its lines too.
      {"   \n ", 2, 2, 5, 0, "empty formula"},
      {"A = 1 |\n  (B = 2\n  & C = )", 3, 9, 25, 1, "expected an expression"},
      {"A = 1 |\r\n B = )", 2, 6, 14, 1, "expected an expression"},
      {"A = \"x\ny\" &\n\n  @Nope", 4, 3, 15, 5, "unknown @function @Nope"},
      {"\tA\t=\t#", 1, 6, 5, 1, "unexpected character '#'"},
      {"(A = 1 |\nB = 2\n", 3, 1, 15, 0, "expected ')'"},
  };
  for (const ErrorCase& c : cases) {
    CompileError e = MustFail(c.text);
    EXPECT_EQ(c.line, e.line) << c.text;
    EXPECT_EQ(c.column, e.column) << c.text;
    EXPECT_EQ(c.offset, e.offset) << c.text;
    EXPECT_EQ(c.length, e.length) << c.text;
    EXPECT_EQ(c.message, e.message) << c.text;
  }
}

TEST(FormulaParse, NestingAndLengthLimits) {
  const int n = kMaxFormulaNesting;
  MustCompile(std::string(n, '(') + "A = 1" + std::string(n, ')'));
  MustCompile(std::string(n, '!') + "A");
  CompileError e = MustFail(std::string(n + 1, '(') + "A = 1" +
                                std::string(n + 1, ')'),
                            ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(n, e.offset);  // the first '(' too many
  EXPECT_EQ(1, e.length);
  EXPECT_EQ(n + 1, e.column);
  e = MustFail("A & " + std::string(n + 1, '!') + "B", ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(4 + n, e.offset);
  // Far deeper than any stack would take, still a clean error.
  EXPECT_EQ(n, MustFail(std::string(60000, '('), ERR_FORMULA_TOO_BIG).offset);
  // Chained comparisons nest too; a long flat OR costs no depth.
  std::string ok = "1", bad = "1", flat = "A = 0";
  for (int i = 0; i < 1000; i++) ok += "=1";
  for (int i = 0; i < 20000; i++) bad += "=1";
  for (int i = 1; i < 9000; i++) flat += "|A=" + std::to_string(i % 10);
  MustCompile(ok);
  MustFail(bad, ERR_FORMULA_TOO_BIG);
  auto p = MustCompile(flat);
  ASSERT_TRUE(p);
  EXPECT_EQ(9000u, p->nodes[p->root].b);

  std::string atLimit = "@True" + std::string(kMaxFormulaText - 5, ' ');
  MustCompile(atLimit);
  e = MustFail(atLimit + " ", ERR_FORMULA_TOO_BIG);
  EXPECT_EQ(1, e.line);
  EXPECT_EQ(1, e.column);
  EXPECT_EQ(0, e.offset);
  EXPECT_EQ(0, e.length);
  EXPECT_FALSE(e.message.empty());
}

TEST(FormulaParse, OutPointersOptionalAndErrorCleared) {
  EXPECT_EQ(NOERROR, Compile("A = 1", nullptr, nullptr));
  EXPECT_EQ(ERR_FORMULA_SYNTAX, Compile("A = ", nullptr, nullptr));
  CompileError err;
  err.message = "stale";
  err.line = 99;
  EXPECT_EQ(NOERROR, Compile("A = 1", nullptr, &err));
  EXPECT_EQ(NOERROR, err.status);
  EXPECT_EQ(0, err.line);
  EXPECT_TRUE(err.message.empty());
}

}  // namespace
}  // namespace tavlo::formula
