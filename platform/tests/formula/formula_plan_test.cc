// IndexPlan: which formulas an index can answer, and the exact shape of
// the disjunctive form handed to the search.

#include <cstdio>
#include <string>
#include <utility>

#include "formula_util.h"

namespace tavlo::formula {
namespace {

// The plan as text: conjunctions joined by " | ", terms by " & ", numbers
// bare and texts quoted; "scan" when there is no plan.
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
      if (t.isNumber && !t.text.empty()) out += "<text too>";
    }
  }
  return out;
}

TEST(FormulaPlan, Shapes) {
  const std::pair<const char*, const char*> cases[] = {
      {kRequeue,
       "WQMsgStatus=11 | WQMsgStatus=9 | WQMsgStatus=10 | WQMsgStatus=7"},
      {"A = 1 & B = \"x\"", "A=1 & B=\"x\""},
      {"(A=1 | A=2) & B=3", "A=1 & B=3 | A=2 & B=3"},
      {"(A=1 | A=2) & (B=\"p\" | B=\"q\" | C=4)",
       "A=1 & B=\"p\" | A=1 & B=\"q\" | A=1 & C=4 | "
       "A=2 & B=\"p\" | A=2 & B=\"q\" | A=2 & C=4"},
      // Constant on the left, spelling kept as written.
      {"SELECT 11 = wqMSGstatus | \"Ab\\\"c\" = Subj;",
       "wqMSGstatus=11 | Subj=\"Ab\"c\""},
      {"A = -4.5", "A=-4.5"},
      {"(((A=1)) | ((B=2) | (C=3)))", "A=1 | B=2 | C=3"},
      {"@False", ""},
      {"A = 1 & @False", ""},
      {"@False | A = 2", "A=2"},
      {"A = 1 & @True", "A=1"},
  };
  for (const auto& [text, plan] : cases) EXPECT_EQ(plan, PlanOf(text)) << text;
}

TEST(FormulaPlan, ScansWhenAnIndexCannotAnswer) {
  for (const char* f :
       {"!(A = 1)", "!A", "A != 1", "A <> 1", "A < 1", "A > 1", "A <= 1",
        "A >= 1", "@All", "@True", "SELECT @All", "A", "A & B = 1",
        "A = 1 | B", "A = B", "1 = 1", "\"x\" = \"x\"", "A = 1 | @True",
        "A = 1 | !(B = 2)", "(A = 1) = 1", "A = 1 = 1", "\"text\"",
        "A = 1 | B < 2"}) {
    EXPECT_EQ("scan", PlanOf(f)) << f;
  }
}

std::string AnyOf(const std::string& name, int n) {
  std::string f = "(";
  for (int i = 0; i < n; i++) {
    if (i) f += " | ";
    f += name + " = " + std::to_string(i);
  }
  return f + ")";
}

TEST(FormulaPlan, SizeIsCapped) {
  // 8 x 8 conjunctions are at the cap; one more factor passes it, and so
  // does a flat OR one longer than the cap.
  std::string f = AnyOf("X", 8) + " & " + AnyOf("Y", 8);
  auto p = MustCompile(f);
  ASSERT_TRUE(p);
  auto plan = IndexPlan(*p);
  ASSERT_TRUE(plan);
  EXPECT_EQ(kMaxPlanConjunctions, plan->size());
  EXPECT_EQ("scan", PlanOf(f + " & " + AnyOf("Z", 2)));
  EXPECT_EQ("scan", PlanOf(AnyOf("A", int(kMaxPlanConjunctions) + 1)));
  // Many ANDed two-way ORs would explode exponentially; refused early.
  std::string blowup;
  for (int i = 0; i < 40; i++) {
    if (i) blowup += " & ";
    std::string name = "A";
    name += std::to_string(i);
    blowup += AnyOf(name, 2);
  }
  EXPECT_EQ("scan", PlanOf(blowup));
}

}  // namespace
}  // namespace tavlo::formula
