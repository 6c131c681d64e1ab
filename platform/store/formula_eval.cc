// Evaluate: runs a compiled formula over one document's summary items.
//
// Called once per candidate document of a search, so it avoids work that
// does not depend on the document: item names were lower-cased at compile
// time, each item the formula names is found and decoded once per call
// (not once per mention), and for formulas naming a handful of items no
// memory is allocated.
//
// Semantics worth knowing:
//  - A comparison is FALSE when either side is an absent item, a time, a
//    malformed value or an unknown type, and when a number meets a text.
//    So `!(X = 1)` is TRUE for a document without X: plain negation of a
//    false comparison.
//  - A text list matches when any of its entries does.
//  - An item standing alone (`X`, `X & Y`) is TRUE when it exists and is
//    a nonzero number, a non-empty text, or a text list with a non-empty
//    entry.
//  - The results of !, &, | and comparisons are the numbers 1 and 0, so
//    they can be compared in turn (`!X = 1`).

#include <bit>
#include <memory>
#include <vector>

#include "formula.h"

namespace tavlo::formula {
namespace {

constexpr WORD kTypeNumber = 0x0300;
constexpr WORD kTypeText = 0x0500;
constexpr WORD kTypeTextList = 0x0501;

inline unsigned char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + 32) : u;
}

inline WORD ReadWord(const char* p) {
  return static_cast<WORD>(static_cast<unsigned char>(p[0]) |
                           (static_cast<unsigned char>(p[1]) << 8));
}

// A decoded item value or constant.  Texts point into the document's
// summary buffer or into the Program; nothing is copied.
struct Value {
  enum Kind : uint8_t { kNone, kNumber, kText, kList };
  Kind kind = kNone;
  double number = 0;
  const char* data = nullptr;  // kText: the bytes; kList: the length words
  size_t size = 0;             // kText: byte count; kList: entry count
};

Value Decode(std::string_view v) {
  Value out;
  if (v.size() < 2) return out;
  WORD type = ReadWord(v.data());
  const char* body = v.data() + 2;
  size_t bodySize = v.size() - 2;
  switch (type) {
    case kTypeNumber: {
      if (bodySize != 8) return out;
      // Stored little-endian whatever the host.
      uint64_t bits = 0;
      for (int i = 7; i >= 0; i--)
        bits = (bits << 8) | static_cast<unsigned char>(body[i]);
      out.kind = Value::kNumber;
      out.number = std::bit_cast<double>(bits);
      return out;
    }
    case kTypeText:
      out.kind = Value::kText;
      out.data = body;
      out.size = bodySize;
      return out;
    case kTypeTextList: {
      // Count, lengths and texts must all lie inside the value; a list
      // that claims more than it holds matches nothing rather than send
      // us reading past the buffer.
      if (bodySize < 2) return out;
      size_t count = ReadWord(body);
      if (2 + 2 * count > bodySize) return out;
      size_t total = 0;
      for (size_t i = 0; i < count; i++) total += ReadWord(body + 2 + 2 * i);
      if (total > bodySize - 2 - 2 * count) return out;
      out.kind = Value::kList;
      out.data = body + 2;
      out.size = count;
      return out;
    }
    default:
      return out;  // time, object, user data...: nothing to compare
  }
}

bool Holds(CompareOp op, int c) {
  switch (op) {
    case CompareOp::kEq: return c == 0;
    case CompareOp::kNe: return c != 0;
    case CompareOp::kLt: return c < 0;
    case CompareOp::kGt: return c > 0;
    case CompareOp::kLe: return c <= 0;
    case CompareOp::kGe: return c >= 0;
  }
  return false;
}

bool HoldsNumber(CompareOp op, double l, double r) {
  switch (op) {
    case CompareOp::kEq: return l == r;
    case CompareOp::kNe: return l != r;
    case CompareOp::kLt: return l < r;
    case CompareOp::kGt: return l > r;
    case CompareOp::kLe: return l <= r;
    case CompareOp::kGe: return l >= r;
  }
  return false;
}

// Case-insensitive (ASCII) text comparison, bytes otherwise unsigned.
bool HoldsText(CompareOp op, const char* a, size_t an, const char* b,
               size_t bn) {
  if ((op == CompareOp::kEq || op == CompareOp::kNe) && an != bn)
    return op == CompareOp::kNe;
  size_t n = an < bn ? an : bn;
  for (size_t i = 0; i < n; i++) {
    unsigned char x = Fold(a[i]), y = Fold(b[i]);
    if (x != y) return Holds(op, x < y ? -1 : 1);
  }
  return Holds(op, an == bn ? 0 : (an < bn ? -1 : 1));
}

// Walks the entries of a text or text list value: one entry for a text.
class Entries {
 public:
  explicit Entries(const Value& v) : v_(v) {
    if (v.kind == Value::kList) text_ = v.data + 2 * v.size;
  }
  size_t Count() const { return v_.kind == Value::kList ? v_.size : 1; }
  // Entries must be visited in order, 0 first.
  void Get(size_t i, const char** text, size_t* len) {
    if (v_.kind != Value::kList) {
      *text = v_.data;
      *len = v_.size;
      return;
    }
    if (i == 0) text_ = v_.data + 2 * v_.size;
    *len = ReadWord(v_.data + 2 * i);
    *text = text_;
    text_ += *len;
  }

 private:
  const Value& v_;
  const char* text_ = nullptr;
};

// Whether `holds` is true of some entry of `l` and some entry of `r`: a
// list stands for each of its entries, a text for itself.
template <typename Holds>
bool AnyEntryPair(const Value& l, const Value& r, Holds holds) {
  Entries le(l), re(r);
  for (size_t i = 0, ln = le.Count(); i < ln; i++) {
    const char* a;
    size_t an;
    le.Get(i, &a, &an);
    for (size_t j = 0, rn = re.Count(); j < rn; j++) {
      const char* b;
      size_t bn;
      re.Get(j, &b, &bn);
      if (holds(a, an, b, bn)) return true;
    }
  }
  return false;
}

bool CompareValues(const Value& l, const Value& r, CompareOp op) {
  if (l.kind == Value::kNone || r.kind == Value::kNone) return false;
  bool lNum = l.kind == Value::kNumber, rNum = r.kind == Value::kNumber;
  if (lNum && rNum) return HoldsNumber(op, l.number, r.number);
  if (lNum || rNum) return false;
  return AnyEntryPair(l, r, [op](const char* a, size_t an, const char* b, size_t bn) {
    return HoldsText(op, a, an, b, bn);
  });
}

// Whether some entry of `text` holds some entry of `part`, case ignored.
bool ContainsValues(const Value& text, const Value& part) {
  if (text.kind != Value::kText && text.kind != Value::kList) return false;
  if (part.kind != Value::kText && part.kind != Value::kList) return false;
  return AnyEntryPair(text, part, [](const char* t, size_t tl, const char* q, size_t ql) {
    for (size_t at = 0; ql <= tl && at + ql <= tl; at++) {
      size_t k = 0;
      while (k < ql && Fold(t[at + k]) == Fold(q[k])) k++;
      if (k == ql) return true;
    }
    return false;
  });
}

bool Truthy(const Value& v) {
  switch (v.kind) {
    case Value::kNumber: return v.number != 0;
    case Value::kText: return v.size != 0;
    case Value::kList:
      for (size_t i = 0; i < v.size; i++)
        if (ReadWord(v.data + 2 * i) != 0) return true;
      return false;
    default: return false;
  }
}

bool NameIs(std::string_view name, const std::string& lower) {
  if (name.size() != lower.size()) return false;
  for (size_t i = 0; i < name.size(); i++)
    if (Fold(name[i]) != static_cast<unsigned char>(lower[i])) return false;
  return true;
}

class Evaluator {
 public:
  Evaluator(const Program& p, const Value* slots) : p_(p), slots_(slots) {}

  bool Truth(uint32_t i) const {
    const Node& n = p_.nodes[i];
    switch (n.kind) {
      case NodeKind::kNumber: return n.number != 0;
      case NodeKind::kText: return !p_.strings[n.a].empty();
      case NodeKind::kItem: return Truthy(slots_[n.a]);
      case NodeKind::kNot: return !Truth(n.a);
      case NodeKind::kAnd:
        for (uint32_t k = 0; k < n.b; k++)
          if (!Truth(p_.children[n.a + k])) return false;
        return true;
      case NodeKind::kOr:
        for (uint32_t k = 0; k < n.b; k++)
          if (Truth(p_.children[n.a + k])) return true;
        return false;
      case NodeKind::kCompare:
        return CompareValues(ValueOf(n.a), ValueOf(n.b), n.cmp);
      case NodeKind::kContains:
        return ContainsValues(ValueOf(n.a), ValueOf(n.b));
    }
    return false;
  }

 private:
  Value ValueOf(uint32_t i) const {
    const Node& n = p_.nodes[i];
    Value v;
    switch (n.kind) {
      case NodeKind::kNumber:
        v.kind = Value::kNumber;
        v.number = n.number;
        return v;
      case NodeKind::kText:
        v.kind = Value::kText;
        v.data = p_.strings[n.a].data();
        v.size = p_.strings[n.a].size();
        return v;
      case NodeKind::kItem:
        return slots_[n.a];
      default:
        v.kind = Value::kNumber;
        v.number = Truth(i) ? 1 : 0;
        return v;
    }
  }

  const Program& p_;
  const Value* slots_;
};

constexpr size_t kInlineSlots = 8;

}  // namespace

bool Evaluate(const Program& program, const std::vector<RawItem>& items) {
  if (program.nodes.empty()) return false;
  size_t n = program.slots.size();
  Value inlineValues[kInlineSlots];
  bool inlineSeen[kInlineSlots] = {};
  std::unique_ptr<Value[]> heapValues;
  std::unique_ptr<bool[]> heapSeen;
  Value* values = inlineValues;
  bool* seen = inlineSeen;
  if (n > kInlineSlots) {
    heapValues.reset(new Value[n]);
    heapSeen.reset(new bool[n]());
    values = heapValues.get();
    seen = heapSeen.get();
  }
  // The first item of a name counts; later duplicates are ignored.
  size_t missing = n;
  for (const RawItem& item : items) {
    if (missing == 0) break;
    for (size_t s = 0; s < n; s++) {
      if (seen[s] || !NameIs(item.name, program.slots[s])) continue;
      values[s] = Decode(item.value);
      seen[s] = true;
      missing--;
      break;
    }
  }
  return Evaluator(program, values).Truth(program.root);
}

}  // namespace tavlo::formula
