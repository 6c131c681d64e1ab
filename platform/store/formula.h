// Selection formulas, inside the store: parse, evaluate over a document's
// summary items, and derive an index plan so a search can visit only the
// documents an equality formula can match.
//
// Language: an optional leading SELECT; item names; decimal numbers;
// double-quoted strings (\" and \\ escapes); = != <> < > <= >=; & (and),
// | (or), ! (not); parentheses; @All, @True, @False; @Contains(a; b), TRUE
// when some entry of text (or text list) `a` holds some entry of `b`, case
// ignored (a number, or an absent item, holds nothing).  Comparisons: number
// item against number numerically, text against text case-insensitively;
// an absent item (or a type mismatch) matches no comparison.  A text list
// or number list item matches when any entry does.
//
// Further rules, as implemented:
//  - Item names compare case-insensitively; when a document holds several
//    items of one name, the first counts.
//  - Every comparison involving an absent item is FALSE, so `!(X = 1)` is
//    TRUE for a document without X (negation of a false comparison).
//  - An item standing alone in boolean position (`X`, `X & Y = 1`) is TRUE
//    when it exists and is a nonzero number, a non-empty text, or a text
//    list with a non-empty entry.
//  - Time values, unknown types and malformed values (a number not 8
//    bytes, a text list whose counts overrun the value) match nothing.
//  - !, &, | and comparisons yield the numbers 1 and 0, so `!X = 1` is
//    `(!X) = 1`; precedence is ! over comparisons over & over |.
//  - `-` is allowed only directly before a number.  A leading SELECT is a
//    keyword when an expression follows it.  One `;` may end the formula.
#ifndef TAVLO_STORE_FORMULA_H_
#define TAVLO_STORE_FORMULA_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/status.h"
#include "tavlo/types.h"

namespace tavlo::formula {

// One summary item of a document as stored: its name and its value with
// the 2-byte type code first.
struct RawItem {
  std::string_view name;
  std::string_view value;  // type code first
};

struct CompileError {
  STATUS status = 0;  // ERR_FORMULA_SYNTAX, ERR_FORMULA_TOO_BIG
  WORD line = 0;      // 1-based
  WORD column = 0;    // 1-based
  WORD offset = 0;    // 0-based byte offset of the faulty token
  WORD length = 0;    // its length (at least 1, 0 at end of text)
  std::string message;
};

class Program;  // a compiled formula; immutable, cheap to evaluate

// Parses `text`.  On failure returns the error status and fills `err`.
STATUS Compile(std::string_view text, std::shared_ptr<const Program>* out,
               CompileError* err);

// TRUE when the document whose summary items are `items` is selected.
bool Evaluate(const Program& program, const std::vector<RawItem>& items);

// An equality test that an index lookup can answer: summary item `name`
// (compare case-insensitively) equal to a number or to a text.
struct EqTerm {
  std::string name;  // as written in the formula
  bool isNumber = false;
  double number = 0;
  std::string text;  // for a text constant, as written
};

// When the formula is an OR of ANDs of EqTerms (in any nesting of
// parentheses), returns that disjunctive form: a document can match only
// if, for some conjunction, it satisfies every term.  std::nullopt for
// anything else (negation, ordering comparisons, @All...), where a search
// must scan.  Inside an AND, a part that qualifies for no plan is left out
// (taken as TRUE): the plan then finds a superset, which is all it must
// do, since callers still Evaluate each candidate.
std::optional<std::vector<std::vector<EqTerm>>> IndexPlan(
    const Program& program);

// The formula handle is a runtime memory block holding FormulaBlockHeader
// followed by the formula's source text (not terminated).  The search
// compiles it again from there, which keeps the block position-free.
struct FormulaBlockHeader {
  DWORD magic;  // kFormulaMagic
  DWORD textLength;
};
constexpr DWORD kFormulaMagic = 0x464D5154;  // "TQMF"
// Runtime block type tag of formula handles.
constexpr WORD kFormulaBlockTag = 0x7F10;

// Reads the source text out of a compiled formula handle; ERR_BAD_FORMULA
// when the block is not one.
STATUS TextFromHandle(FORMULAHANDLE handle, std::string* text);

// ---------------------------------------------------------------------------
// The compiled form.  Only the formula code looks inside; everyone else
// gets a Program from Compile and hands it back to Evaluate or IndexPlan.
//
// A formula is a tree of nodes kept in one vector.  AND and OR are n-ary
// (a chain `a | b | c` is one node with three operands), so a long chain
// costs no depth; parentheses, `!` and chained comparisons do, and the
// compiler bounds the depth so evaluation can recurse safely.

enum class NodeKind : uint8_t {
  kNumber,   // constant `number`
  kText,     // constant: strings[a]
  kItem,     // item: slot a, spelled strings[b]
  kNot,      // ! operand a
  kAnd,      // operands children[a .. a+b)
  kOr,       // operands children[a .. a+b)
  kCompare,  // left a `cmp` right b
  kContains, // @Contains(a; b)
};

enum class CompareOp : uint8_t { kEq, kNe, kLt, kGt, kLe, kGe };

struct Node {
  NodeKind kind = NodeKind::kNumber;
  CompareOp cmp = CompareOp::kEq;
  uint32_t a = 0;
  uint32_t b = 0;
  double number = 0;
};

class Program {
 public:
  std::vector<Node> nodes;
  std::vector<uint32_t> children;
  // Text constants (unescaped) and item names as written.
  std::vector<std::string> strings;
  // The distinct item names the formula reads, lower-cased; a kItem node
  // refers to one by index so each item is looked up once per document.
  std::vector<std::string> slots;
  uint32_t root = 0;
};

// Longest formula text Compile accepts, and deepest nesting of
// parentheses and `!`.  Past either, ERR_FORMULA_TOO_BIG.
constexpr size_t kMaxFormulaText = 65535;
constexpr int kMaxFormulaNesting = 200;
// Conjunctions IndexPlan returns at most; a bigger disjunctive form is
// not worth an index lookup per conjunction, so the search scans.
constexpr size_t kMaxPlanConjunctions = 64;

}  // namespace tavlo::formula

#endif  // TAVLO_STORE_FORMULA_H_
