// Evaluation over hand-built summary items: numbers, texts, text lists,
// absent items, type mismatches, malformed values, case folding, and the
// requeue formula itself.

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "formula_util.h"

namespace tavlo::formula {
namespace {

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

const std::string kTime = Word(0x0400) + std::string(8, '\x01');

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
  for (double s : {6.0, 0.0, 8.0, 12.0, 11.5, -11.0, 1e300}) {
    EXPECT_FALSE(Match(kRequeue, {{"WQMsgStatus", Num(s)}})) << s;
  }
  EXPECT_FALSE(Match(kRequeue, {}));
  EXPECT_FALSE(Match(kRequeue, {{"WQMsgStatus", Txt("11")}}));
  EXPECT_FALSE(Match(kRequeue, {{"WQMsgStatus", kTime}}));
  // 11.0 is 0x4026000000000000: stored little-endian, exponent byte last.
  EXPECT_TRUE(Match(kRequeue, {{"WQMsgStatus",
                                Word(0x0300) + std::string("\0\0\0\0\0\0\x26\x40", 8)}}));
}

TEST(FormulaEval, NumbersAndItemAgainstItem) {
  ExpectAll({{"A", Num(5)}, {"B", Num(5)}, {"C", Num(6)}, {"N", Num(-2)}},
            {{"A = 5", true}, {"A = 5.0", true}, {"A = 4", false},
             {"A != 4", true}, {"A <> 4", true}, {"A != 5", false},
             {"A < 6", true}, {"A < 5", false}, {"A <= 5", true},
             {"A > 4.5", true}, {"A > 5", false}, {"A >= 5", true},
             {"5 = A", true}, {"6 > A", true}, {"4 > A", false},
             {"N = -2", true}, {"A = B", true}, {"A = C", false},
             {"A < C", true}, {"wqmsgstatus = 5", false}});
}

TEST(FormulaEval, TextsAndNamesIgnoreCase) {
  ExpectAll({{"Name", Txt("Alpha")}, {"U", Txt("ALPHA")}, {"E", Txt("")},
             {"T", Txt("CAF\xC3\xA9")}, {"Q", Txt("A\"B\\")}},
            {{"Name = \"Alpha\"", true}, {"NAME = \"alpha\"", true},
             {"name = \"ALPHA\"", true}, {"Name = \"alph\"", false},
             {"Name = \"alphab\"", false}, {"Name != \"beta\"", true},
             {"Name != \"ALPHA\"", false}, {"Name < \"BETA\"", true},
             {"Name < \"alphab\"", true},  // a prefix sorts first
             {"Name < \"ALPH\"", false}, {"Name > \"aardvark\"", true},
             {"Name >= \"ALPHA\"", true}, {"Name <= \"alpha\"", true},
             {"\"ALPHA\" = Name", true}, {"Name = U", true},
             {"NameX = \"Alpha\"", false}, {"Nam = \"Alpha\"", false},
             {"E = \"\"", true}, {"E != \"\"", false},
             // Bytes beyond ASCII compare as they are.
             {"T = \"caf\xC3\xA9\"", true}, {"T = \"caf\xC3\x89\"", false},
             {"Q = \"a\\\"b\\\\\"", true}});
}

TEST(FormulaEval, FirstItemOfANameCounts) {
  ExpectAll({{"S", Num(6)}, {"s", Num(11)}}, {{"S = 11", false}, {"S = 6", true}});
  ExpectAll({{"S", Txt("x")}, {"S", Num(11)}}, {{"S = 11", false}});
}

// Absent items, numbers against texts, times and unknown types: every
// comparison is false, so its negation is true.
TEST(FormulaEval, MismatchesNeverMatch) {
  ExpectAll({{"Other", Num(1)}},
            {{"X = 1", false}, {"X != 1", false}, {"X <> 1", false},
             {"X < 1", false}, {"X > 1", false}, {"X <= 1", false},
             {"X >= 1", false}, {"X = \"\"", false}, {"X != \"a\"", false},
             {"1 = X", false}, {"X = X", false}, {"X", false},
             {"!(X = 1)", true}, {"!(X != 1)", true}, {"!X", true}});
  ExpectAll({{"N", Num(11)}, {"T", Txt("11")}},
            {{"N = \"11\"", false}, {"N != \"11\"", false}, {"N < \"2\"", false},
             {"T = 11", false}, {"T != 11", false}, {"T >= 0", false},
             {"N = T", false}, {"N != T", false}});
  ExpectAll({{"When", kTime},
             {"Obj", Word(0x0003) + std::string(8, '\0')},
             {"Blob", Word(0x000E) + "abc"}},
            {{"When = 0", false}, {"When != 0", false}, {"When = \"\"", false},
             {"Obj = 0", false}, {"Blob = \"abc\"", false},
             {"Blob != \"x\"", false}, {"When", false}, {"Blob", false}});
}

TEST(FormulaEval, TextListMatchesAnyEntry) {
  ExpectAll({{"L", List({"red", "Green", "blue"})}, {"T", Txt("GREEN")},
             {"M", List({"x", "BLUE"})}, {"K", List({"x", "y"})},
             {"S", List({"a", "b"}) + std::string(6, '\0')},  // slack after
             {"E", List({})}, {"F", List({"", ""})}},
            {{"L = \"red\"", true}, {"L = \"GREEN\"", true},
             {"L = \"yellow\"", false}, {"L != \"red\"", true},
             {"L < \"c\"", true}, {"L < \"a\"", false}, {"L = 1", false},
             {"L", true}, {"L = T", true}, {"T = L", true}, {"L = M", true},
             {"L = K", false}, {"S = \"b\"", true}, {"E = \"\"", false},
             {"E != \"x\"", false}, {"E", false}, {"F = \"\"", true},
             {"F", false}});
}

TEST(FormulaEval, MalformedValuesMatchNothing) {
  std::string good = List({"abc", "de"}), num = Num(11);
  const std::string bad[] = {
      Word(0x0501),                                         // no count
      Word(0x0501) + "\x01",                                // half a count
      Word(0x0501) + Word(2) + Word(3),                     // lengths cut
      Word(0x0501) + Word(2) + Word(3) + Word(2) + "abcd",  // text short
      Word(0x0501) + Word(1) + Word(0xFFFF) + "abc",        // huge length
      Word(0x0501) + Word(0xFFFF),                          // huge count
      good.substr(0, good.size() - 1),                      // last byte gone
      num.substr(0, 9), num + "x", Word(0x0300),            // wrong sizes
      std::string(1, '\0'), std::string(),                  // no type code
  };
  for (const std::string& v : bad) {
    SCOPED_TRACE(v.size());
    ExpectAll({{"L", v}}, {{"L = \"abc\"", false}, {"L = \"\"", false},
                           {"L != \"x\"", false}, {"L < \"zzz\"", false},
                           {"L = 11", false}, {"L != 11", false},
                           {"L", false}, {"!L", true}});
  }
  // A heap copy of exactly the value's size lets the address sanitizer
  // catch any read past its end.
  std::string list = Word(0x0501) + Word(3) + Word(1) + Word(1) + Word(1) + "ab";
  std::unique_ptr<char[]> exact(new char[list.size()]);
  std::memcpy(exact.get(), list.data(), list.size());
  auto p = MustCompile("L = \"b\" | L = \"c\" | L");
  ASSERT_TRUE(p);
  EXPECT_FALSE(Evaluate(*p, {{"L", std::string_view(exact.get(), list.size())}}));
}

TEST(FormulaEval, BooleansConstantsAndPrecedence) {
  ExpectAll({}, {{"@All", true}, {"SELECT @All", true}, {"@True", true},
                 {"@False", false}, {"!@All", false}, {"!@False", true},
                 {"1 = 1", true}, {"1 = 2", false}, {"\"a\" = \"A\"", true},
                 {"1 = \"1\"", false}, {"1", true}, {"0", false},
                 {"\"x\"", true}, {"\"\"", false}, {"!A = 1", true},
                 {"2 = 2 = 2", false}, {"2 = 2 = 1", true}});
  ExpectAll({{"A", Num(1)}},
            {{"A = 1 | B = 2 & C = 3", true}, {"(A = 1 | B = 2) & C = 3", false},
             {"!A = 1", false}, {"!A = 0", true}, {"!!A", true},
             {"A = 1 = 1", true}, {"@False | A = 1", true},
             {"@False & A = 1", false}, {"A & B", false}, {"A | B", true}});
  ExpectAll({{"B", Num(2)}}, {{"A = 1 | B = 2 & C = 3", false}});
  ExpectAll({{"B", Num(2)}, {"C", Num(3)}}, {{"A = 1 | B = 2 & C = 3", true}});
  // Bare items: a nonzero number or a nonempty text is true.
  ExpectAll({{"A", Num(-0.5)}, {"Z", Num(0)}, {"T", Txt("x")}, {"E", Txt("")}},
            {{"A", true}, {"Z", false}, {"T", true}, {"E", false},
             {"A & T", true}});
}

TEST(FormulaEval, ManyItemsAndReuseAcrossDocuments) {
  // More distinct names than fit the evaluator's inline table.
  std::string f;
  Doc d, e;
  for (int i = 0; i < 20; i++) {
    std::string n = "Item" + std::to_string(i);
    if (i) f += " & ";
    f += n + " = " + std::to_string(i);
    d.push_back({n, Num(i)});
    e.push_back({"item" + std::to_string(i), Num(i == 19 ? 0 : i)});
  }
  EXPECT_TRUE(Match(f, d));
  EXPECT_FALSE(Match(f, e));
  auto p = MustCompile(kRequeue);
  ASSERT_TRUE(p);
  int matches = 0;
  for (int s = 0; s < 20; s++) {
    std::string v = Num(s);
    matches += Evaluate(*p, {{"Form", "x"}, {"WQMsgStatus", v}});
  }
  EXPECT_EQ(4, matches);
}

}  // namespace
}  // namespace tavlo::formula
