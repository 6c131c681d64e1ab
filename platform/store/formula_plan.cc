// IndexPlan: rewrites an equality formula into an OR of ANDs of
// `item = constant` terms, so a search can look the terms up in an index
// instead of reading every document.
//
// Only formulas built from =, &, | and the constants @True/@All/@False
// qualify.  Anything whose truth can come from a document lacking the
// item (!, !=, <>, ordering comparisons, a bare item name) cannot be
// answered from an index of present values, so it gets no plan.

#include <new>
#include <optional>
#include <utility>

#include "formula.h"

namespace tavlo::formula {
namespace {

// A conjunction as node indexes of Eq comparisons.  The disjunctive form
// of "always true" is one empty conjunction; of "always false", none.
using Conj = std::vector<uint32_t>;
using Dnf = std::vector<Conj>;

bool IsConstant(const Node& n) {
  return n.kind == NodeKind::kNumber || n.kind == NodeKind::kText;
}

// An `item = constant` comparison, either way round.
bool IsEqTerm(const Program& p, const Node& n) {
  if (n.kind != NodeKind::kCompare || n.cmp != CompareOp::kEq) return false;
  const Node& l = p.nodes[n.a];
  const Node& r = p.nodes[n.b];
  return (l.kind == NodeKind::kItem && IsConstant(r)) ||
         (r.kind == NodeKind::kItem && IsConstant(l));
}

// False when the formula does not qualify or its form would grow past
// kMaxPlanConjunctions.
bool ToDnf(const Program& p, uint32_t i, Dnf* out) {
  const Node& n = p.nodes[i];
  switch (n.kind) {
    case NodeKind::kNumber:
      // @True/@All and @False.  A plain number in boolean position works
      // the same way: nonzero is true.
      out->clear();
      if (n.number != 0) out->push_back({});
      return true;
    case NodeKind::kCompare:
      if (!IsEqTerm(p, n)) return false;
      *out = Dnf{{i}};
      return true;
    case NodeKind::kOr: {
      out->clear();
      for (uint32_t k = 0; k < n.b; k++) {
        Dnf sub;
        if (!ToDnf(p, p.children[n.a + k], &sub)) return false;
        if (out->size() + sub.size() > kMaxPlanConjunctions) return false;
        out->insert(out->end(), sub.begin(), sub.end());
      }
      return true;
    }
    case NodeKind::kAnd: {
      Dnf acc{{}};  // the neutral "true"
      for (uint32_t k = 0; k < n.b; k++) {
        Dnf sub;
        // A part no index answers narrows nothing: TRUE for the plan.
        if (!ToDnf(p, p.children[n.a + k], &sub)) sub = Dnf{{}};
        if (acc.size() * sub.size() > kMaxPlanConjunctions) return false;
        Dnf next;
        next.reserve(acc.size() * sub.size());
        for (const Conj& a : acc) {
          for (const Conj& b : sub) {
            Conj c = a;
            c.insert(c.end(), b.begin(), b.end());
            next.push_back(std::move(c));
          }
        }
        acc = std::move(next);
      }
      *out = std::move(acc);
      return true;
    }
    default:
      return false;  // !, bare items, bare texts
  }
}

EqTerm TermOf(const Program& p, uint32_t i) {
  const Node& n = p.nodes[i];
  const Node* item = &p.nodes[n.a];
  const Node* value = &p.nodes[n.b];
  if (item->kind != NodeKind::kItem) std::swap(item, value);
  EqTerm t;
  t.name = p.strings[item->b];
  if (value->kind == NodeKind::kNumber) {
    t.isNumber = true;
    t.number = value->number;
  } else {
    t.text = p.strings[value->a];
  }
  return t;
}

}  // namespace

std::optional<std::vector<std::vector<EqTerm>>> IndexPlan(
    const Program& program) {
  if (program.nodes.empty()) return std::nullopt;
  Dnf dnf;
  try {
    if (!ToDnf(program, program.root, &dnf)) return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // a scan is always a correct fallback
  }
  std::vector<std::vector<EqTerm>> plan;
  plan.reserve(dnf.size());
  for (const Conj& c : dnf) {
    // An empty conjunction matches every document: no index narrows that.
    if (c.empty()) return std::nullopt;
    std::vector<EqTerm> terms;
    terms.reserve(c.size());
    for (uint32_t i : c) terms.push_back(TermOf(program, i));
    plan.push_back(std::move(terms));
  }
  return plan;
}

}  // namespace tavlo::formula
