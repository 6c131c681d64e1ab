// IndexPlan: the disjunctive form handed to the search, or none.

#include <cstdio>
#include <string>

#include "formula_util.h"

namespace tavlo::formula {
namespace {

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
}

}  // namespace
}  // namespace tavlo::formula
