// IndexPlan: which formulas an index can answer, and the exact shape of
// the disjunctive form handed to the search.

#include <gtest/gtest.h>

#include <string>

#include "formula.h"

namespace tavlo::formula {
namespace {

using Plan = std::optional<std::vector<std::vector<EqTerm>>>;

Plan PlanOf(std::string_view text) {
  std::shared_ptr<const Program> p;
  CompileError err;
  EXPECT_EQ(Compile(text, &p, &err), NOERROR) << text << ": " << err.message;
  if (!p) return std::nullopt;
  return IndexPlan(*p);
}

void ExpectNumber(const EqTerm& t, const std::string& name, double v) {
  EXPECT_EQ(t.name, name);
  EXPECT_TRUE(t.isNumber);
  EXPECT_EQ(t.number, v);
  EXPECT_TRUE(t.text.empty());
}

void ExpectText(const EqTerm& t, const std::string& name,
                const std::string& v) {
  EXPECT_EQ(t.name, name);
  EXPECT_FALSE(t.isNumber);
  EXPECT_EQ(t.text, v);
}

TEST(FormulaPlan, RequeueFormulaIsFourSingleTerms) {
  Plan plan = PlanOf(
      "((WQMsgStatus = 11) | (WQMsgStatus = 9) | (WQMsgStatus = 10) | "
      "(WQMsgStatus = 7))");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 4u);
  const double want[] = {11, 9, 10, 7};
  for (size_t i = 0; i < 4; i++) {
    ASSERT_EQ((*plan)[i].size(), 1u);
    ExpectNumber((*plan)[i][0], "WQMsgStatus", want[i]);
  }
}

TEST(FormulaPlan, ConjunctionOfNumberAndText) {
  Plan plan = PlanOf("A = 1 & B = \"x\"");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 1u);
  ASSERT_EQ((*plan)[0].size(), 2u);
  ExpectNumber((*plan)[0][0], "A", 1);
  ExpectText((*plan)[0][1], "B", "x");
}

TEST(FormulaPlan, AndDistributesOverOr) {
  Plan plan = PlanOf("(A=1 | A=2) & B=3");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 2u);
  ASSERT_EQ((*plan)[0].size(), 2u);
  ExpectNumber((*plan)[0][0], "A", 1);
  ExpectNumber((*plan)[0][1], "B", 3);
  ASSERT_EQ((*plan)[1].size(), 2u);
  ExpectNumber((*plan)[1][0], "A", 2);
  ExpectNumber((*plan)[1][1], "B", 3);
}

TEST(FormulaPlan, ProductOfTwoDisjunctions) {
  Plan plan = PlanOf("(A=1 | A=2) & (B=\"p\" | B=\"q\" | C=4)");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 6u);
  ExpectNumber((*plan)[0][0], "A", 1);
  ExpectText((*plan)[0][1], "B", "p");
  ExpectNumber((*plan)[5][0], "A", 2);
  ExpectNumber((*plan)[5][1], "C", 4);
}

TEST(FormulaPlan, ConstantOnTheLeftAndSpellingAsWritten) {
  Plan plan = PlanOf("SELECT 11 = wqMSGstatus | \"Ab\\\"c\" = Subj;");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 2u);
  ExpectNumber((*plan)[0][0], "wqMSGstatus", 11);
  ExpectText((*plan)[1][0], "Subj", "Ab\"c");
  Plan neg = PlanOf("A = -4.5");
  ASSERT_TRUE(neg);
  ExpectNumber((*neg)[0][0], "A", -4.5);
}

TEST(FormulaPlan, NestedParenthesesFlatten) {
  Plan plan = PlanOf("(((A=1)) | ((B=2) | (C=3)))");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 3u);
  ExpectNumber((*plan)[2][0], "C", 3);
}

TEST(FormulaPlan, ScansWhenAnIndexCannotAnswer) {
  for (const char* f :
       {"!(A = 1)", "!A", "A != 1", "A <> 1", "A < 1", "A > 1", "A <= 1",
        "A >= 1", "@All", "@True", "SELECT @All", "A", "A & B = 1",
        "A = 1 | B", "A = B", "1 = 1", "\"x\" = \"x\"", "A = 1 | @True",
        "A = 1 | !(B = 2)", "(A = 1) = 1", "A = 1 = 1", "\"text\"",
        "A = 1 | B < 2"}) {
    EXPECT_FALSE(PlanOf(f).has_value()) << f;
  }
}

TEST(FormulaPlan, FalseHasNoCandidates) {
  Plan plan = PlanOf("@False");
  ASSERT_TRUE(plan);
  EXPECT_TRUE(plan->empty());
  plan = PlanOf("A = 1 & @False");
  ASSERT_TRUE(plan);
  EXPECT_TRUE(plan->empty());
  plan = PlanOf("@False | A = 2");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 1u);
  ExpectNumber((*plan)[0][0], "A", 2);
}

TEST(FormulaPlan, TrueInsideAConjunctionDropsOut) {
  Plan plan = PlanOf("A = 1 & @True");
  ASSERT_TRUE(plan);
  ASSERT_EQ(plan->size(), 1u);
  ASSERT_EQ((*plan)[0].size(), 1u);
  ExpectNumber((*plan)[0][0], "A", 1);
}

TEST(FormulaPlan, SizeIsCapped) {
  // 8 x 8 = 64 conjunctions: at the cap.
  std::string f;
  for (int g = 0; g < 2; g++) {
    if (g) f += " & ";
    f += "(";
    for (int i = 0; i < 8; i++) {
      if (i) f += " | ";
      f += "X" + std::to_string(g) + " = " + std::to_string(i);
    }
    f += ")";
  }
  Plan plan = PlanOf(f);
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->size(), kMaxPlanConjunctions);
  // One more factor of two passes it.
  EXPECT_FALSE(PlanOf(f + " & (Y = 1 | Y = 2)").has_value());
  // A flat OR past the cap too.
  std::string wide = "A = 0";
  for (size_t i = 1; i <= kMaxPlanConjunctions; i++)
    wide += " | A = " + std::to_string(i);
  EXPECT_FALSE(PlanOf(wide).has_value());
  // Many ANDed two-way ORs would explode exponentially; refused early.
  std::string blowup;
  for (int i = 0; i < 40; i++) {
    if (i) blowup += " & ";
    blowup += "(A" + std::to_string(i) + "=1 | B" + std::to_string(i) + "=2)";
  }
  EXPECT_FALSE(PlanOf(blowup).has_value());
}

}  // namespace
}  // namespace tavlo::formula
