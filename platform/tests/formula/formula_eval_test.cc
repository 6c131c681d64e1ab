// Evaluation over hand-built summary items.

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

TEST(FormulaEval, Precedence) {
  ExpectAll({{"A", Num(1)}},
            {{"A = 1 | B = 2 & C = 3", true}, {"(A = 1 | B = 2) & C = 3", false},
             {"!A = 1", false}});
}

TEST(FormulaEval, AbsentItemNeverMatches) {
  ExpectAll({{"Other", Num(1)}},
            {{"X = 1", false}, {"X != 1", false}, {"!(X = 1)", true}});
}

TEST(FormulaEval, NumberAgainstTextNeverMatches) {
  ExpectAll({{"N", Num(11)}, {"T", Txt("11")}},
            {{"N = \"11\"", false}, {"T = 11", false}, {"N = T", false}});
}

TEST(FormulaEval, TextsAndNamesIgnoreCase) {
  ExpectAll({{"Name", Txt("Alpha")}},
            {{"NAME = \"alpha\"", true}, {"name = \"ALPHA\"", true},
             {"Name = \"alph\"", false}});
}

TEST(FormulaEval, TextListMatchesAnyEntry) {
  ExpectAll({{"L", List({"red", "Green", "blue"})}},
            {{"L = \"red\"", true}, {"L = \"GREEN\"", true},
             {"L = \"yellow\"", false}});
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
