// Evaluation over hand-built summary items: numbers, texts, text lists,
// absent items, type mismatches, malformed values, case folding, and the
// requeue formula itself.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "formula.h"

namespace tavlo::formula {
namespace {

std::string Word(WORD w) {
  return std::string{static_cast<char>(w & 0xFF), static_cast<char>(w >> 8)};
}

std::string NumberValue(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  std::string v = Word(0x0300);
  for (int i = 0; i < 8; i++) v.push_back(static_cast<char>(bits >> (8 * i)));
  return v;
}

std::string TextValue(std::string_view s) {
  return Word(0x0500) + std::string(s);
}

std::string ListValue(const std::vector<std::string>& entries) {
  std::string v = Word(0x0501) + Word(static_cast<WORD>(entries.size()));
  for (const auto& e : entries) v += Word(static_cast<WORD>(e.size()));
  for (const auto& e : entries) v += e;
  return v;
}

std::string TimeValue() { return Word(0x0400) + std::string(8, '\x01'); }

// A document's summary items; owns the bytes the RawItems point at.
class Doc {
 public:
  Doc& Add(std::string name, std::string value) {
    store_.emplace_back(std::move(name), std::move(value));
    return *this;
  }
  Doc& Num(std::string name, double d) {
    return Add(std::move(name), NumberValue(d));
  }
  Doc& Text(std::string name, std::string_view s) {
    return Add(std::move(name), TextValue(s));
  }
  std::vector<RawItem> Items() const {
    std::vector<RawItem> out;
    for (const auto& [n, v] : store_) out.push_back({n, v});
    return out;
  }

 private:
  std::vector<std::pair<std::string, std::string>> store_;
};

bool Match(std::string_view formula, const Doc& doc) {
  std::shared_ptr<const Program> p;
  CompileError err;
  STATUS s = Compile(formula, &p, &err);
  EXPECT_EQ(s, NOERROR) << formula << ": " << err.message;
  if (s != NOERROR) return false;
  return Evaluate(*p, doc.Items());
}

const char kRequeue[] =
    "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
    "(WQMsgStatus = 7))";

TEST(FormulaEval, RequeueFormulaSelectsTheFailedStatuses) {
  for (double s : {11.0, 9.0, 10.0, 7.0}) {
    Doc d;
    d.Text("Form", "Message").Num("WQMsgStatus", s).Num("WQRetry", 3);
    EXPECT_TRUE(Match(kRequeue, d)) << s;
  }
  for (double s : {6.0, 0.0, 8.0, 12.0, 11.5, -11.0, 1e300}) {
    Doc d;
    d.Num("WQMsgStatus", s);
    EXPECT_FALSE(Match(kRequeue, d)) << s;
  }
  EXPECT_FALSE(Match(kRequeue, Doc()));
  EXPECT_FALSE(Match(kRequeue, Doc().Text("WQMsgStatus", "11")));
  EXPECT_FALSE(Match(kRequeue, Doc().Add("WQMsgStatus", TimeValue())));
}

TEST(FormulaEval, NumberComparisons) {
  Doc d;
  d.Num("A", 5);
  EXPECT_TRUE(Match("A = 5", d));
  EXPECT_TRUE(Match("A = 5.0", d));
  EXPECT_FALSE(Match("A = 4", d));
  EXPECT_TRUE(Match("A != 4", d));
  EXPECT_TRUE(Match("A <> 4", d));
  EXPECT_FALSE(Match("A != 5", d));
  EXPECT_TRUE(Match("A < 6", d));
  EXPECT_FALSE(Match("A < 5", d));
  EXPECT_TRUE(Match("A <= 5", d));
  EXPECT_TRUE(Match("A > 4.5", d));
  EXPECT_FALSE(Match("A > 5", d));
  EXPECT_TRUE(Match("A >= 5", d));
  EXPECT_TRUE(Match("A > -1", d));
  // Constant on the left reads the same way round.
  EXPECT_TRUE(Match("5 = A", d));
  EXPECT_TRUE(Match("6 > A", d));
  EXPECT_FALSE(Match("4 > A", d));
  EXPECT_TRUE(Match("A = -2", Doc().Num("A", -2)));
}

TEST(FormulaEval, ItemAgainstItem) {
  Doc d;
  d.Num("A", 3).Num("B", 3).Num("C", 4).Text("T", "x").Text("U", "X");
  EXPECT_TRUE(Match("A = B", d));
  EXPECT_FALSE(Match("A = C", d));
  EXPECT_TRUE(Match("A < C", d));
  EXPECT_TRUE(Match("T = U", d));
  EXPECT_FALSE(Match("A = T", d));
}

TEST(FormulaEval, NumbersStoredLittleEndian) {
  // 11.0 is 0x4026000000000000: the exponent byte comes last.
  std::string v = Word(0x0300) + std::string("\0\0\0\0\0\0\x26\x40", 8);
  EXPECT_TRUE(Match("N = 11", Doc().Add("N", v)));
}

TEST(FormulaEval, TextComparisonsIgnoreCase) {
  Doc d;
  d.Text("Name", "Alpha");
  EXPECT_TRUE(Match("Name = \"Alpha\"", d));
  EXPECT_TRUE(Match("Name = \"ALPHA\"", d));
  EXPECT_TRUE(Match("Name = \"alpha\"", d));
  EXPECT_FALSE(Match("Name = \"alph\"", d));
  EXPECT_FALSE(Match("Name = \"alphab\"", d));
  EXPECT_TRUE(Match("Name != \"beta\"", d));
  EXPECT_FALSE(Match("Name != \"ALPHA\"", d));
  EXPECT_TRUE(Match("Name < \"BETA\"", d));
  EXPECT_TRUE(Match("Name < \"alphab\"", d));  // a prefix sorts first
  EXPECT_FALSE(Match("Name < \"ALPH\"", d));
  EXPECT_TRUE(Match("Name > \"aardvark\"", d));
  EXPECT_TRUE(Match("Name >= \"ALPHA\"", d));
  EXPECT_TRUE(Match("Name <= \"alpha\"", d));
  EXPECT_TRUE(Match("\"ALPHA\" = Name", d));
  // Bytes beyond ASCII compare as they are.
  EXPECT_TRUE(Match("T = \"caf\xC3\xA9\"", Doc().Text("T", "CAF\xC3\xA9")));
  EXPECT_FALSE(Match("T = \"caf\xC3\xA9\"", Doc().Text("T", "CAF\xC3\x89")));
  // Empty texts.
  EXPECT_TRUE(Match("T = \"\"", Doc().Text("T", "")));
  EXPECT_FALSE(Match("T = \"\"", Doc().Text("T", "x")));
  // Escaped quote and backslash inside a constant.
  EXPECT_TRUE(Match("T = \"a\\\"b\\\\\"", Doc().Text("T", "A\"B\\")));
}

TEST(FormulaEval, ItemNamesIgnoreCase) {
  Doc d;
  d.Num("WQMsgStatus", 11);
  EXPECT_TRUE(Match("wqmsgstatus = 11", d));
  EXPECT_TRUE(Match("WQMSGSTATUS = 11", d));
  Doc e;
  e.Num("wqmsgSTATUS", 7);
  EXPECT_TRUE(Match(kRequeue, e));
  // Names differing in length or letters do not match.
  EXPECT_FALSE(Match("WQMsgStat = 11", d));
  EXPECT_FALSE(Match("WQMsgStatusX = 11", d));
}

TEST(FormulaEval, FirstItemOfANameCounts) {
  Doc d;
  d.Num("S", 6).Num("s", 11);
  EXPECT_FALSE(Match("S = 11", d));
  EXPECT_TRUE(Match("S = 6", d));
  Doc e;
  e.Text("S", "x").Num("S", 11);
  EXPECT_FALSE(Match("S = 11", e));
}

TEST(FormulaEval, AbsentItemFailsEveryComparison) {
  Doc d;
  d.Num("Other", 1);
  for (const char* f : {"X = 1", "X != 1", "X <> 1", "X < 1", "X > 1",
                        "X <= 1", "X >= 1", "X = \"\"", "X != \"a\"",
                        "1 = X", "X = X"}) {
    EXPECT_FALSE(Match(f, d)) << f;
  }
  // Negating a false comparison is plain negation: true.
  EXPECT_TRUE(Match("!(X = 1)", d));
  EXPECT_TRUE(Match("!(X != 1)", d));
  EXPECT_FALSE(Match("X", d));
  EXPECT_TRUE(Match("!X", d));
}

TEST(FormulaEval, NumberAgainstTextNeverMatches) {
  Doc d;
  d.Num("N", 11).Text("T", "11");
  for (const char* f :
       {"N = \"11\"", "N != \"11\"", "N < \"2\"", "N > \"1\"", "T = 11",
        "T != 11", "T < 12", "T >= 0", "N = T", "N != T"}) {
    EXPECT_FALSE(Match(f, d)) << f;
  }
}

TEST(FormulaEval, TimeAndUnknownTypesNeverMatch) {
  Doc d;
  d.Add("When", TimeValue())
      .Add("Obj", Word(0x0003) + std::string(8, '\0'))
      .Add("Blob", Word(0x000E) + "abc");
  for (const char* f : {"When = 0", "When != 0", "When > 0", "When = \"\"",
                        "Obj = 0", "Blob = \"abc\"", "Blob != \"x\"", "When",
                        "Blob"}) {
    EXPECT_FALSE(Match(f, d)) << f;
  }
}

TEST(FormulaEval, TextListMatchesAnyEntry) {
  Doc d;
  d.Add("L", ListValue({"red", "Green", "blue"}));
  EXPECT_TRUE(Match("L = \"red\"", d));
  EXPECT_TRUE(Match("L = \"GREEN\"", d));
  EXPECT_TRUE(Match("L = \"blue\"", d));
  EXPECT_FALSE(Match("L = \"yellow\"", d));
  EXPECT_TRUE(Match("L != \"red\"", d));  // green differs
  EXPECT_TRUE(Match("L < \"c\"", d));     // blue sorts first
  EXPECT_FALSE(Match("L < \"a\"", d));
  EXPECT_FALSE(Match("L = 1", d));
  EXPECT_TRUE(Match("L", d));
  // A list against a list: any pair.
  Doc e;
  e.Add("L", ListValue({"a", "b"})).Add("M", ListValue({"x", "B"}));
  EXPECT_TRUE(Match("L = M", e));
  Doc f;
  f.Add("L", ListValue({"a", "b"})).Add("M", ListValue({"x", "y"}));
  EXPECT_FALSE(Match("L = M", f));
  // A list against a text item.
  Doc g;
  g.Add("L", ListValue({"a", "b"})).Text("T", "B");
  EXPECT_TRUE(Match("L = T", g));
  EXPECT_TRUE(Match("T = L", g));
}

TEST(FormulaEval, EmptyTextListMatchesNothing) {
  Doc d;
  d.Add("L", ListValue({}));
  EXPECT_FALSE(Match("L = \"\"", d));
  EXPECT_FALSE(Match("L != \"x\"", d));
  EXPECT_FALSE(Match("L", d));
  Doc e;
  e.Add("L", ListValue({"", ""}));
  EXPECT_TRUE(Match("L = \"\"", e));
  EXPECT_FALSE(Match("L", e));  // no non-empty entry
}

TEST(FormulaEval, TextListMayCarrySlackAfterItsTexts) {
  Doc d;
  d.Add("L", ListValue({"a", "b"}) + std::string(6, '\0'));
  EXPECT_TRUE(Match("L = \"b\"", d));
}

TEST(FormulaEval, MalformedValuesMatchNothing) {
  std::string good = ListValue({"abc", "de"});
  std::vector<std::string> bad = {
      Word(0x0501),                             // no count
      Word(0x0501) + "\x01",                    // half a count
      Word(0x0501) + Word(2) + Word(3),         // lengths cut short
      Word(0x0501) + Word(2) + Word(3) + Word(2) + "abcd",  // text short
      Word(0x0501) + Word(1) + Word(0xFFFF) + "abc",        // huge length
      Word(0x0501) + Word(0xFFFF),              // huge count
      good.substr(0, good.size() - 1),          // last byte missing
  };
  for (size_t i = 0; i < bad.size(); i++) {
    Doc d;
    d.Add("L", bad[i]);
    for (const char* f : {"L = \"abc\"", "L = \"\"", "L != \"x\"", "L",
                          "L < \"zzz\""}) {
      EXPECT_FALSE(Match(f, d)) << "case " << i << " " << f;
    }
    EXPECT_TRUE(Match("!L", d)) << i;
  }
  // Number values of the wrong size; values too short for a type code.
  std::string num = NumberValue(11);
  for (std::string v : {num.substr(0, 9), num + "x", Word(0x0300),
                        std::string(1, '\x00'), std::string()}) {
    Doc d;
    d.Add("N", v);
    EXPECT_FALSE(Match("N = 11", d)) << v.size();
    EXPECT_FALSE(Match("N != 11", d)) << v.size();
    EXPECT_FALSE(Match("N", d)) << v.size();
  }
}

TEST(FormulaEval, MalformedValuesDoNotReadPastTheValue) {
  // The value ends exactly where its bytes end: a heap copy of exactly
  // that size lets the address sanitizer catch any overread.
  std::string list = Word(0x0501) + Word(3) + Word(1) + Word(1) + Word(1) + "ab";
  std::unique_ptr<char[]> exact(new char[list.size()]);
  std::memcpy(exact.get(), list.data(), list.size());
  std::vector<RawItem> items{{"L", std::string_view(exact.get(), list.size())}};
  std::shared_ptr<const Program> p;
  ASSERT_EQ(Compile("L = \"b\" | L = \"c\" | L", &p, nullptr), NOERROR);
  EXPECT_FALSE(Evaluate(*p, items));
}

TEST(FormulaEval, BareItemsInBooleanPosition) {
  EXPECT_TRUE(Match("A", Doc().Num("A", 3)));
  EXPECT_TRUE(Match("A", Doc().Num("A", -0.5)));
  EXPECT_FALSE(Match("A", Doc().Num("A", 0)));
  EXPECT_TRUE(Match("A", Doc().Text("A", "x")));
  EXPECT_FALSE(Match("A", Doc().Text("A", "")));
  EXPECT_FALSE(Match("A", Doc()));
  EXPECT_TRUE(Match("A & B", Doc().Num("A", 1).Text("B", "y")));
  EXPECT_FALSE(Match("A & B", Doc().Num("A", 1)));
  EXPECT_TRUE(Match("A | B", Doc().Num("B", 1)));
}

TEST(FormulaEval, Constants) {
  Doc empty;
  EXPECT_TRUE(Match("@All", empty));
  EXPECT_TRUE(Match("SELECT @All", empty));
  EXPECT_TRUE(Match("@True", empty));
  EXPECT_FALSE(Match("@False", empty));
  EXPECT_FALSE(Match("!@All", empty));
  EXPECT_TRUE(Match("!@False", empty));
  EXPECT_TRUE(Match("1 = 1", empty));
  EXPECT_FALSE(Match("1 = 2", empty));
  EXPECT_TRUE(Match("\"a\" = \"A\"", empty));
  EXPECT_FALSE(Match("1 = \"1\"", empty));
  EXPECT_TRUE(Match("1", empty));
  EXPECT_FALSE(Match("0", empty));
  EXPECT_TRUE(Match("\"x\"", empty));
  EXPECT_FALSE(Match("\"\"", empty));
}

TEST(FormulaEval, BooleanOperatorsAndPrecedence) {
  Doc a1;
  a1.Num("A", 1);
  Doc b2;
  b2.Num("B", 2);
  Doc b2c3;
  b2c3.Num("B", 2).Num("C", 3);
  // | is looser than &.
  EXPECT_TRUE(Match("A = 1 | B = 2 & C = 3", a1));
  EXPECT_FALSE(Match("A = 1 | B = 2 & C = 3", b2));
  EXPECT_TRUE(Match("A = 1 | B = 2 & C = 3", b2c3));
  EXPECT_FALSE(Match("(A = 1 | B = 2) & C = 3", a1));
  // ! is tighter than comparison: !A = 1 is (!A) = 1.
  EXPECT_TRUE(Match("!A = 1", Doc()));
  EXPECT_FALSE(Match("!A = 1", a1));
  EXPECT_TRUE(Match("!A = 0", a1));
  EXPECT_TRUE(Match("!!A", a1));
  // Comparisons chain to the left: (2 = 2) = 2 is 1 = 2.
  EXPECT_FALSE(Match("2 = 2 = 2", Doc()));
  EXPECT_TRUE(Match("2 = 2 = 1", Doc()));
  EXPECT_TRUE(Match("A = 1 = 1", a1));
  // Short circuits never change the answer.
  EXPECT_TRUE(Match("@False | A = 1", a1));
  EXPECT_FALSE(Match("@False & A = 1", a1));
}

TEST(FormulaEval, ManyItemsInOneFormula) {
  // More distinct names than fit the evaluator's inline table.
  std::string f;
  Doc d;
  for (int i = 0; i < 20; i++) {
    std::string n = "Item" + std::to_string(i);
    if (i) f += " & ";
    f += n + " = " + std::to_string(i);
    d.Num(n, i);
  }
  EXPECT_TRUE(Match(f, d));
  Doc e;
  for (int i = 0; i < 20; i++) e.Num("item" + std::to_string(i), i == 19 ? 0 : i);
  EXPECT_FALSE(Match(f, e));
}

TEST(FormulaEval, ProgramIsReusableAcrossDocuments) {
  std::shared_ptr<const Program> p;
  ASSERT_EQ(Compile(kRequeue, &p, nullptr), NOERROR);
  int matches = 0;
  for (int s = 0; s < 20; s++) {
    Doc d;
    d.Text("Form", "x").Num("WQMsgStatus", s);
    if (Evaluate(*p, d.Items())) matches++;
  }
  EXPECT_EQ(matches, 4);
}

}  // namespace
}  // namespace tavlo::formula
