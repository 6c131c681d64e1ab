// Formulas: parse errors at the exact token, the index plan, compile
// clean-up, and evaluation over hand-built summary items.

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "formula_util.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"
#include "tavlo/testing.h"

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
      {"", 1, 1, 0, 0, "empty formula"},
      {"A = @", 1, 5, 4, 1, "expected a function name after '@'"},
      {"A # 1", 1, 3, 2, 1, "unexpected character '#'"},
      {"A = 1\x01", 1, 6, 5, 1, "unexpected character '\\x01'"},
      {"12ab = 1", 1, 1, 0, 4, "malformed number"},
      {"A = 1.x", 1, 5, 4, 3, "malformed number"},
      {"A = 1" + std::string(400, '0'), 1, 5, 4, 401, "number out of range"},
      {"A = \"a\\n\"", 1, 7, 6, 2, "unknown escape '\\n' in string"},
      {"A = \"ab\\", 1, 5, 4, 4, "unterminated string"},
      {"A = 1; B", 1, 8, 7, 1, "expected the end of the formula after ';'"},
      {"A = 1)", 1, 6, 5, 1, "unmatched ')'"},
      {"A = 1 B", 1, 7, 6, 1, "expected an operator or the end of the formula"},
      {"(A = 1", 1, 7, 6, 0, "expected ')'"},
      {"A = -B", 1, 6, 5, 1, "expected a number after '-'"},
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

// Past 65535 bytes, 200 levels of parentheses or `!`, or 1024 levels of
// operators, a formula is too big: never a crash on deep recursion.
TEST(FormulaParse, TooLongOrTooDeep) {
  auto status = [](const std::string& text) {
    std::shared_ptr<const Program> p;
    CompileError e;
    STATUS st = Compile(text, &p, &e);
    EXPECT_EQ(st == NOERROR, p != nullptr);
    return std::make_pair(st, e.message);
  };
  auto nested = [](int n, const char* open, const char* close) {
    std::string t;
    for (int i = 0; i < n; i++) t += open;
    t += "A";
    for (int i = 0; i < n; i++) t += close;
    return t;
  };
  auto chain = [](int n) {
    std::string t = "A";
    for (int i = 0; i < n; i++) t += "=1";
    return t;
  };
  const std::pair<STATUS, std::string> tooBig{ERR_FORMULA_TOO_BIG, "formula nested too deeply"};
  EXPECT_EQ(status(nested(200, "(", ")")).first, NOERROR);
  EXPECT_EQ(status(nested(201, "(", ")")), tooBig);
  EXPECT_EQ(status(nested(200, "!", "")).first, NOERROR);
  EXPECT_EQ(status(nested(201, "!", "")), tooBig);
  EXPECT_EQ(status(chain(1023)).first, NOERROR);
  EXPECT_EQ(status(chain(1024)), tooBig);
  std::string longest = "A=1" + std::string(65535 - 3, ' ');
  EXPECT_EQ(status(longest).first, NOERROR);
  EXPECT_EQ(status(longest + " "),
            std::make_pair(ERR_FORMULA_TOO_BIG, std::string("formula is longer than 65535 bytes")));
}

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

// Conjunctions joined by " | ", terms by " & "; "scan" when there is no plan.
std::string PlanOf(std::string_view text) {
  auto p = MustCompile(text);
  if (!p) return "<error>";
  auto plan = IndexPlan(*p);
  if (!plan) return "scan";
  std::string out;
  for (size_t i = 0; i < plan->size(); i++) {
    if (i) out += " | ";
    for (size_t k = 0; k < (*plan)[i].size(); k++) {
      const EqTerm& t = (*plan)[i][k];
      char num[32];
      std::snprintf(num, sizeof num, "%g", t.number);
      if (k) out += " & ";
      out += t.name + "=" + (t.isNumber ? std::string(num) : "\"" + t.text + "\"");
    }
  }
  return out;
}

TEST(FormulaPlan, RequeueFormula) {
  EXPECT_EQ("WQMsgStatus=11 | WQMsgStatus=9 | WQMsgStatus=10 | WQMsgStatus=7",
            PlanOf(kRequeue));
}

TEST(FormulaPlan, ScansWhenAnIndexCannotAnswer) {
  EXPECT_EQ("scan", PlanOf("!(A = 1)"));
  EXPECT_EQ("scan", PlanOf("A = 1 | @Contains(E; \"x\")"));
  EXPECT_EQ("scan", PlanOf("!(A = 1) & B > 2"));
}

// Inside an AND, a part no index answers is left to the evaluation: the
// plan still narrows by the rest.
TEST(FormulaPlan, AndKeepsItsIndexedParts) {
  EXPECT_EQ("S=11", PlanOf("S = 11 & @Contains(E; \"spam\")"));
  EXPECT_EQ("S=9 & T=\"a\" | S=10 & T=\"a\"",
            PlanOf("(S = 9 | S = 10) & !(X = 1) & T = \"a\""));
}

std::string Word(WORD w) {
  return std::string{static_cast<char>(w & 0xFF), static_cast<char>(w >> 8)};
}

std::string Num(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  std::string v = Word(0x0300);
  for (int i = 0; i < 8; i++) v.push_back(static_cast<char>(bits >> (8 * i)));
  return v;
}

std::string Txt(std::string_view s) { return Word(0x0500) + std::string(s); }

std::string List(const std::vector<std::string>& entries) {
  std::string v = Word(0x0501) + Word(static_cast<WORD>(entries.size()));
  for (const auto& e : entries) v += Word(static_cast<WORD>(e.size()));
  for (const auto& e : entries) v += e;
  return v;
}

// A document's summary items, in order.
using Doc = std::vector<std::pair<std::string, std::string>>;

bool Match(std::string_view formula, const Doc& doc) {
  auto p = MustCompile(formula);
  if (!p) return false;
  std::vector<RawItem> items;
  for (const auto& [n, v] : doc) items.push_back({n, v});
  return Evaluate(*p, items);
}

struct Case {
  const char* formula;
  bool want;
};

void ExpectAll(const Doc& doc, std::initializer_list<Case> cases) {
  for (const Case& c : cases) EXPECT_EQ(c.want, Match(c.formula, doc)) << c.formula;
}

TEST(FormulaEval, RequeueFormulaSelectsTheFailedStatuses) {
  for (double s : {11.0, 9.0, 10.0, 7.0}) {
    EXPECT_TRUE(Match(kRequeue, {{"Form", Txt("Message")},
                                 {"wqmsgSTATUS", Num(s)}}))
        << s;
  }
  for (double s : {6.0, 8.0, 11.5}) {
    EXPECT_FALSE(Match(kRequeue, {{"WQMsgStatus", Num(s)}})) << s;
  }
}

// Precedence; an absent item or a number against text never matches; texts
// and names ignore case; a text list matches any entry.
TEST(FormulaEval, Operators) {
  ExpectAll({{"A", Num(1)}, {"N", Num(11)}, {"T", Txt("11")}, {"Name", Txt("Alpha")},
             {"L", List({"red", "Green", "blue"})}},
            {{"A = 1 | B = 2 & C = 3", true}, {"(A = 1 | B = 2) & C = 3", false},
             {"!A = 1", false}, {"X = 1", false}, {"X != 1", false}, {"!(X = 1)", true},
             {"N = \"11\"", false}, {"T = 11", false}, {"N = T", false},
             {"NAME = \"alpha\"", true}, {"name = \"ALPHA\"", true},
             {"Name = \"alph\"", false}, {"L = \"red\"", true}, {"L = \"GREEN\"", true},
             {"L = \"yellow\"", false}});
}

// Ordering of numbers and of texts (case-insensitive); an item alone is
// true when it holds something; constants; SELECT is a keyword only before
// an expression.
TEST(FormulaEval, OrderingTruthAndConstants) {
  std::string time = Word(0x0400) + std::string(8, '\1');
  ExpectAll({{"N", Num(11)}, {"M", Num(-2.5)}, {"Name", Txt("Bravo")}, {"E", Txt("")},
             {"Z", Num(0)}, {"L", List({"", "x"})}, {"L0", List({"", ""})}, {"T", time},
             {"select", Num(1)}},
            {{"N < 12", true}, {"N <= 11", true}, {"N > 11", false}, {"N >= 12", false},
             {"N <> 11", false}, {"M = -2.5", true}, {"M < -2", true},
             {"Name > \"alpha\"", true}, {"Name < \"CHARLIE\"", true},
             {"Name >= \"BRAVO\"", true}, {"Name <= \"BRAVO\"", true},
             {"Name <= \"bravn\"", false},
             {"Name <> \"bravo\"", false},
             {"N", true}, {"Z", false}, {"Name", true}, {"E", false}, {"L", true},
             {"L0", false}, {"T", false}, {"T = 1", false}, {"\"x\"", true}, {"\"\"", false},
             {"@True", true}, {"@All", true}, {"@False", false}, {"-1", true},
             {"SELECT N = 11", true}, {"SELECT = 1", true}, {"N = 11;", true}});
  // More names than the evaluator keeps inline.
  Doc many;
  std::string formula = "@True";
  for (int i = 0; i < 12; i++) {
    const std::string n = std::to_string(i);
    many.emplace_back("I" + n, Num(i));
    formula.append(" & I").append(n).append(" = ").append(n);
  }
  EXPECT_TRUE(Match(formula, many));
  EXPECT_FALSE(Match(formula + " & I3 = 4", many));
}

// @Contains: any entry of the first holds any entry of the second, case
// ignored; numbers and absent items hold nothing; its arguments are
// expressions.
TEST(FormulaEval, ContainsFindsAPartOfATextOrAnEntry) {
  ExpectAll({{"E", Txt("550 Mailbox FULL")}, {"L", List({"a@example.org", "B@Mail.Example.com"})},
             {"N", Num(550)}, {"Empty", Txt("")}},
            {{"@Contains(E; \"mailbox full\")", true}, {"@contains(E; \"550\")", true},
             {"@Contains(E; \"\")", true}, {"@Contains(E; \"full!\")", false},
             {"@Contains(L; \"@mail.example\")", true}, {"@Contains(L; \"@other\")", false},
             {"@Contains(E; L)", false}, {"@Contains(\"x550y\"; \"550\")", true},
             {"@Contains(N; \"5\")", false}, {"@Contains(X; \"\")", false},
             {"@Contains(Empty; \"a\")", false}, {"!@Contains(E; \"zzz\")", true},
             {"@Contains(E; \"FULL\") & N = 550", true}});
  for (const char* bad : {"@Contains", "@Contains(E)", "@Contains(E; \"a\"", "@Contains E; \"a\")",
                          "@Contains(E, \"a\")"}) {
    std::shared_ptr<const Program> p;
    CompileError err;
    EXPECT_EQ(ERR_FORMULA_SYNTAX, Compile(bad, &p, &err)) << bad;
  }
}

TEST(FormulaEval, MalformedValuesMatchNothing) {
  // A heap copy of exactly the value's size lets the address sanitizer
  // catch any read past its end.
  std::string list = Word(0x0501) + Word(3) + Word(1) + Word(1) + Word(1) + "ab";
  std::unique_ptr<char[]> exact(new char[list.size()]);
  std::memcpy(exact.get(), list.data(), list.size());
  auto p = MustCompile("L = \"b\" | L = \"c\" | L");
  ASSERT_TRUE(p);
  EXPECT_FALSE(Evaluate(*p, {{"L", std::string_view(exact.get(), list.size())}}));
  ExpectAll({{"L", Word(0x0501) + Word(1) + Word(0xFFFF) + "abc"}},
            {{"L = \"abc\"", false}, {"L", false}});
}

}  // namespace
}  // namespace tavlo::formula
