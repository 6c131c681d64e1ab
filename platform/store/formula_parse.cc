// Compile: turns formula text into a Program.  A hand-written lexer and
// recursive-descent parser; precedence from loosest to tightest is
// | then & then the comparisons then !, all binary operators
// left-associative.  Errors point at the offending token by byte offset so
// an editor or a log line can show where the formula went wrong.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "formula.h"

namespace tavlo::formula {
namespace {

// Deepest node tree the compiler lets through.  Parentheses and `!` are
// limited separately (kMaxFormulaNesting); this also bounds left-deep
// chains of comparisons, which the parser builds without recursing but
// evaluation walks recursively.
constexpr int kMaxTreeDepth = 1024;

enum class Tok {
  kEnd,
  kName,
  kNumber,
  kString,
  kFunction,  // @name
  kLParen,
  kRParen,
  kAnd,
  kOr,
  kNot,
  kMinus,
  kSemicolon,
  kEq,
  kNe,
  kLt,
  kGt,
  kLe,
  kGe,
};

struct Token {
  Tok kind = Tok::kEnd;
  size_t offset = 0;
  size_t length = 0;
  double number = 0;
  std::string text;  // kName / kFunction: as written; kString: unescaped
};

// Thrown inside the parser only, caught by Compile.  Unwinding is the
// simplest way out of a deep descent; it never crosses the API.
struct ParseFailure {
  STATUS status;
  size_t offset;
  size_t length;
  std::string message;
};

bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         c == '$';
}
bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string Lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualsFolded(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (size_t i = 0; i < s.size(); i++)
    if (Lower(s[i]) != lower[i]) return false;
  return true;
}

std::string Printable(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7F) return std::string(1, c);
  static const char kHex[] = "0123456789ABCDEF";
  return std::string("\\x") + kHex[u >> 4] + kHex[u & 15];
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next() {
    SkipSpace();
    Token t;
    t.offset = pos_;
    if (pos_ >= text_.size()) return t;
    char c = text_[pos_];
    if (IsNameStart(c)) return Name(Tok::kName, pos_);
    if (IsDigit(c)) return Number();
    switch (c) {
      case '"':
        return String();
      case '@':
        if (pos_ + 1 < text_.size() && IsNameStart(text_[pos_ + 1]))
          return Name(Tok::kFunction, pos_ + 1);
        Fail(pos_, 1, "expected a function name after '@'");
      case '(':
        return Punct(Tok::kLParen, 1);
      case ')':
        return Punct(Tok::kRParen, 1);
      case '&':
        return Punct(Tok::kAnd, 1);
      case '|':
        return Punct(Tok::kOr, 1);
      case '-':
        return Punct(Tok::kMinus, 1);
      case ';':
        return Punct(Tok::kSemicolon, 1);
      case '=':
        return Punct(Tok::kEq, 1);
      case '!':
        return Peek(1) == '=' ? Punct(Tok::kNe, 2) : Punct(Tok::kNot, 1);
      case '<':
        if (Peek(1) == '=') return Punct(Tok::kLe, 2);
        if (Peek(1) == '>') return Punct(Tok::kNe, 2);
        return Punct(Tok::kLt, 1);
      case '>':
        return Peek(1) == '=' ? Punct(Tok::kGe, 2) : Punct(Tok::kGt, 1);
      default:
        Fail(pos_, 1, "unexpected character '" + Printable(c) + "'");
    }
  }

  [[noreturn]] static void Fail(size_t offset, size_t length,
                                std::string message,
                                STATUS status = ERR_FORMULA_SYNTAX) {
    throw ParseFailure{status, offset, length, std::move(message)};
  }

 private:
  char Peek(size_t ahead) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }

  void SkipSpace() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f' &&
          c != '\v')
        break;
      pos_++;
    }
  }

  Token Punct(Tok kind, size_t length) {
    Token t;
    t.kind = kind;
    t.offset = pos_;
    t.length = length;
    pos_ += length;
    return t;
  }

  // `from` is where the name's characters begin (after '@' for a
  // function); the token covers the '@' too.
  Token Name(Tok kind, size_t from) {
    Token t;
    t.kind = kind;
    t.offset = pos_;
    size_t end = from;
    while (end < text_.size() && IsNameChar(text_[end])) end++;
    t.text.assign(text_.substr(from, end - from));
    t.length = end - pos_;
    pos_ = end;
    return t;
  }

  Token Number() {
    Token t;
    t.kind = Tok::kNumber;
    t.offset = pos_;
    size_t end = pos_;
    while (end < text_.size() && IsDigit(text_[end])) end++;
    bool bad = false;
    if (end < text_.size() && text_[end] == '.') {
      end++;
      if (end >= text_.size() || !IsDigit(text_[end])) bad = true;
      while (end < text_.size() && IsDigit(text_[end])) end++;
    }
    // "12abc" or "1.2.3" is one malformed number, not a number followed
    // by a name: report it whole.
    if (end < text_.size() && IsNameChar(text_[end])) bad = true;
    if (bad) {
      while (end < text_.size() && IsNameChar(text_[end])) end++;
      Fail(pos_, end - pos_, "malformed number");
    }
    const char* first = text_.data() + pos_;
    const char* last = text_.data() + end;
    auto [ptr, ec] = std::from_chars(first, last, t.number);
    if (ec != std::errc() || ptr != last || !std::isfinite(t.number))
      Fail(pos_, end - pos_, "number out of range");
    t.length = end - pos_;
    pos_ = end;
    return t;
  }

  Token String() {
    Token t;
    t.kind = Tok::kString;
    t.offset = pos_;
    size_t i = pos_ + 1;
    for (;;) {
      if (i >= text_.size())
        Fail(pos_, text_.size() - pos_, "unterminated string");
      char c = text_[i];
      if (c == '"') break;
      if (c == '\\') {
        if (i + 1 >= text_.size())
          Fail(pos_, text_.size() - pos_, "unterminated string");
        char e = text_[i + 1];
        if (e != '"' && e != '\\')
          Fail(i, 2, "unknown escape '\\" + Printable(e) + "' in string");
        t.text.push_back(e);
        i += 2;
        continue;
      }
      t.text.push_back(c);
      i++;
    }
    t.length = i + 1 - pos_;
    pos_ = i + 1;
    return t;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

class Parser {
 public:
  Parser(std::string_view text, Program* prog) : lex_(text), prog_(prog) {}

  void Run() {
    Advance();
    if (tok_.kind == Tok::kEnd)
      Lexer::Fail(tok_.offset, 0, "empty formula");
    // A leading SELECT is a keyword only when an expression follows it;
    // `SELECT = 1` still reads an item called SELECT.
    if (tok_.kind == Tok::kName && EqualsFolded(tok_.text, "select")) {
      Token after = lex_.Next();
      if (StartsOperand(after.kind) || after.kind == Tok::kEnd ||
          after.kind == Tok::kSemicolon) {
        tok_ = std::move(after);
      } else {
        pending_ = std::move(after);
        hasPending_ = true;
      }
    }
    prog_->root = ParseOr();
    if (tok_.kind == Tok::kSemicolon) {
      Advance();
      if (tok_.kind != Tok::kEnd)
        Lexer::Fail(tok_.offset, tok_.length,
                    "expected the end of the formula after ';'");
    }
    if (tok_.kind == Tok::kRParen)
      Lexer::Fail(tok_.offset, tok_.length, "unmatched ')'");
    if (tok_.kind != Tok::kEnd)
      Lexer::Fail(tok_.offset, tok_.length,
                  "expected an operator or the end of the formula");
  }

 private:
  static bool StartsOperand(Tok k) {
    return k == Tok::kName || k == Tok::kNumber || k == Tok::kString ||
           k == Tok::kFunction || k == Tok::kLParen || k == Tok::kNot ||
           k == Tok::kMinus;
  }

  void Advance() {
    if (hasPending_) {
      tok_ = std::move(pending_);
      hasPending_ = false;
    } else {
      tok_ = lex_.Next();
    }
  }

  uint32_t Add(const Node& n, int depth) {
    if (depth > kMaxTreeDepth)
      Lexer::Fail(tok_.offset, tok_.length, "formula nested too deeply",
                  ERR_FORMULA_TOO_BIG);
    prog_->nodes.push_back(n);
    depth_.push_back(depth);
    return static_cast<uint32_t>(prog_->nodes.size() - 1);
  }

  uint32_t AddString(std::string s) {
    prog_->strings.push_back(std::move(s));
    return static_cast<uint32_t>(prog_->strings.size() - 1);
  }

  uint32_t SlotFor(std::string_view name) {
    std::string lower = Lowered(name);
    for (size_t i = 0; i < prog_->slots.size(); i++)
      if (prog_->slots[i] == lower) return static_cast<uint32_t>(i);
    prog_->slots.push_back(std::move(lower));
    return static_cast<uint32_t>(prog_->slots.size() - 1);
  }

  void Enter(const Token& at) {
    if (++nesting_ > kMaxFormulaNesting)
      Lexer::Fail(at.offset, at.length, "formula nested too deeply",
                  ERR_FORMULA_TOO_BIG);
  }

  // AND and OR share this: collect the operands of one chain into one node.
  uint32_t ParseChain(Tok op, NodeKind kind, uint32_t (Parser::*operand)()) {
    uint32_t first = (this->*operand)();
    if (tok_.kind != op) return first;
    std::vector<uint32_t> ops{first};
    while (tok_.kind == op) {
      Advance();
      ops.push_back((this->*operand)());
    }
    Node n;
    n.kind = kind;
    n.a = static_cast<uint32_t>(prog_->children.size());
    n.b = static_cast<uint32_t>(ops.size());
    int depth = 0;
    for (uint32_t o : ops) {
      prog_->children.push_back(o);
      depth = std::max(depth, depth_[o]);
    }
    return Add(n, depth + 1);
  }

  uint32_t ParseOr() { return ParseChain(Tok::kOr, NodeKind::kOr, &Parser::ParseAnd); }
  uint32_t ParseAnd() {
    return ParseChain(Tok::kAnd, NodeKind::kAnd, &Parser::ParseCompare);
  }

  static bool CompareOpOf(Tok k, CompareOp* op) {
    switch (k) {
      case Tok::kEq: *op = CompareOp::kEq; return true;
      case Tok::kNe: *op = CompareOp::kNe; return true;
      case Tok::kLt: *op = CompareOp::kLt; return true;
      case Tok::kGt: *op = CompareOp::kGt; return true;
      case Tok::kLe: *op = CompareOp::kLe; return true;
      case Tok::kGe: *op = CompareOp::kGe; return true;
      default: return false;
    }
  }

  uint32_t ParseCompare() {
    uint32_t left = ParseUnary();
    CompareOp op;
    while (CompareOpOf(tok_.kind, &op)) {
      Advance();
      uint32_t right = ParseUnary();
      Node n;
      n.kind = NodeKind::kCompare;
      n.cmp = op;
      n.a = left;
      n.b = right;
      left = Add(n, std::max(depth_[left], depth_[right]) + 1);
    }
    return left;
  }

  uint32_t ParseUnary() {
    if (tok_.kind != Tok::kNot) return ParsePrimary();
    Token at = tok_;
    Enter(at);
    Advance();
    uint32_t operand = ParseUnary();
    nesting_--;
    Node n;
    n.kind = NodeKind::kNot;
    n.a = operand;
    return Add(n, depth_[operand] + 1);
  }

  uint32_t ParsePrimary() {
    Node n;
    switch (tok_.kind) {
      case Tok::kLParen: {
        Token open = tok_;
        Enter(open);
        Advance();
        uint32_t inner = ParseOr();
        if (tok_.kind != Tok::kRParen)
          Lexer::Fail(tok_.offset, tok_.length, "expected ')'");
        nesting_--;
        Advance();
        return inner;
      }
      case Tok::kName:
        n.kind = NodeKind::kItem;
        n.a = SlotFor(tok_.text);
        n.b = AddString(tok_.text);
        Advance();
        return Add(n, 1);
      case Tok::kNumber:
        n.kind = NodeKind::kNumber;
        n.number = tok_.number;
        Advance();
        return Add(n, 1);
      case Tok::kMinus:
        Advance();
        if (tok_.kind != Tok::kNumber)
          Lexer::Fail(tok_.offset, tok_.length, "expected a number after '-'");
        n.kind = NodeKind::kNumber;
        n.number = -tok_.number;
        Advance();
        return Add(n, 1);
      case Tok::kString:
        n.kind = NodeKind::kText;
        n.a = AddString(std::move(tok_.text));
        Advance();
        return Add(n, 1);
      case Tok::kFunction: {
        std::string f = Lowered(tok_.text);
        if (f == "contains") return ParseContains();
        n.kind = NodeKind::kNumber;
        if (f == "all" || f == "true") {
          n.number = 1;
        } else if (f == "false") {
          n.number = 0;
        } else {
          Lexer::Fail(tok_.offset, tok_.length,
                      "unknown @function @" + tok_.text);
        }
        // @All and @True are the same constant to Evaluate; IndexPlan
        // cares only that they are constants.
        Advance();
        return Add(n, 1);
      }
      default:
        Lexer::Fail(tok_.offset, tok_.length, "expected an expression");
    }
  }

  // @Contains(text; part): its operands are whole expressions, like a
  // parenthesised one.
  uint32_t ParseContains() {
    Token at = tok_;
    Advance();
    if (tok_.kind != Tok::kLParen)
      Lexer::Fail(tok_.offset, tok_.length, "expected '(' after @Contains");
    Enter(at);
    Advance();
    uint32_t text = ParseOr();
    if (tok_.kind != Tok::kSemicolon)
      Lexer::Fail(tok_.offset, tok_.length, "expected ';' between the arguments of @Contains");
    Advance();
    uint32_t part = ParseOr();
    if (tok_.kind != Tok::kRParen)
      Lexer::Fail(tok_.offset, tok_.length, "expected ')' after the arguments of @Contains");
    nesting_--;
    Advance();
    Node n;
    n.kind = NodeKind::kContains;
    n.a = text;
    n.b = part;
    return Add(n, std::max(depth_[text], depth_[part]) + 1);
  }

  Lexer lex_;
  Program* prog_;
  Token tok_;
  Token pending_;
  bool hasPending_ = false;
  int nesting_ = 0;
  std::vector<int> depth_;  // per node: height of its subtree
};

WORD ClampWord(size_t v) { return v > 0xFFFF ? WORD(0xFFFF) : WORD(v); }

void FillError(std::string_view text, const ParseFailure& f,
               CompileError* err) {
  if (!err) return;
  size_t line = 1, lineStart = 0;
  for (size_t i = 0; i < f.offset && i < text.size(); i++) {
    if (text[i] == '\n') {
      line++;
      lineStart = i + 1;
    }
  }
  err->status = f.status;
  err->line = ClampWord(line);
  err->column = ClampWord(f.offset - lineStart + 1);
  err->offset = ClampWord(f.offset);
  err->length = ClampWord(f.length);
  err->message = f.message;
}

}  // namespace

STATUS Compile(std::string_view text, std::shared_ptr<const Program>* out,
               CompileError* err) {
  if (err) *err = CompileError();
  if (text.size() > kMaxFormulaText) {
    FillError(text,
              ParseFailure{ERR_FORMULA_TOO_BIG, 0, 0,
                           "formula is longer than 65535 bytes"},
              err);
    return ERR_FORMULA_TOO_BIG;
  }
  try {
    auto prog = std::make_shared<Program>();
    Parser parser(text, prog.get());
    parser.Run();
    if (out) *out = std::move(prog);
    return NOERROR;
  } catch (const ParseFailure& f) {
    FillError(text, f, err);
    return f.status;
  } catch (const std::bad_alloc&) {
    if (err) err->status = ERR_MEMORY;
    return ERR_MEMORY;
  }
}

}  // namespace tavlo::formula
