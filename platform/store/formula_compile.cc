// QDSFormulaCompile and the formula handle, and the two calls that tell an
// operator about a formula: why it does not compile, and which items it
// reads.  The handle is a runtime memory block holding a small header and
// the formula's source text; the search compiles that text again.  Keeping
// source rather than a tree in the block keeps it free of pointers, so it
// can be copied or moved by the runtime like any other block.

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "formula.h"
#include "tavlo/runtime.h"
#include "tavlo/store.h"

namespace tavlo::formula {
STATUS TextFromHandle(FORMULAHANDLE handle, std::string* text) {
  if (handle == NULLHANDLE) return ERR_BAD_FORMULA;
  DWORD size = 0;
  if (OSMemGetSize(handle, &size) != NOERROR) return ERR_BAD_FORMULA;
  if (size < sizeof(FormulaBlockHeader)) return ERR_BAD_FORMULA;
  const char* p = static_cast<const char*>(OSLockObject(handle));
  if (!p) return ERR_MEMORY;
  FormulaBlockHeader h;
  std::memcpy(&h, p, sizeof h);
  STATUS status = NOERROR;
  if (h.magic != kFormulaMagic ||
      h.textLength != size - sizeof(FormulaBlockHeader)) {
    status = ERR_BAD_FORMULA;
  } else if (text) {
    try {
      text->assign(p + sizeof h, h.textLength);
    } catch (const std::bad_alloc&) {
      status = ERR_MEMORY;
    }
  }
  OSUnlockObject(handle);
  return status;
}

}  // namespace tavlo::formula

using tavlo::formula::CompileError;
using tavlo::formula::FormulaBlockHeader;

STATUS QDSFormulaCompile(const char* formulaName, WORD formulaNameLen,
                         const char* formulaText, WORD formulaTextLen,
                         FORMULAHANDLE* retFormula, WORD* retFormulaLen,
                         STATUS* retCompileError, WORD* retLine,
                         WORD* retColumn, WORD* retOffset, WORD* retLength) {
  // Out values describe "no error, nothing allocated" until proven
  // otherwise, so a caller never reads a stale handle after a failure.
  if (retFormula) *retFormula = NULLHANDLE;
  if (retFormulaLen) *retFormulaLen = 0;
  if (retCompileError) *retCompileError = NOERROR;
  if (retLine) *retLine = 0;
  if (retColumn) *retColumn = 0;
  if (retOffset) *retOffset = 0;
  if (retLength) *retLength = 0;
  if (!formulaText && formulaTextLen != 0) return ERR_BAD_ARG;

  std::string_view text(formulaText ? formulaText : "", formulaTextLen);
  CompileError err;
  STATUS status = tavlo::formula::Compile(text, nullptr, &err);
  if (status == NOERROR) {
    // The block size is reported in a WORD; a formula that long could
    // not be described, so refuse it rather than report a wrong length.
    if (sizeof(FormulaBlockHeader) + text.size() > 0xFFFF) {
      err.status = ERR_FORMULA_TOO_BIG;
      err.line = 1;
      err.column = 1;
      status = ERR_FORMULA_TOO_BIG;
    }
  }
  if (status != NOERROR) {
    if (status == ERR_FORMULA_SYNTAX || status == ERR_FORMULA_TOO_BIG) {
      if (retCompileError) *retCompileError = status;
      if (retLine) *retLine = err.line;
      if (retColumn) *retColumn = err.column;
      if (retOffset) *retOffset = err.offset;
      if (retLength) *retLength = err.length;
    }
    return status;
  }

  DWORD blockSize = static_cast<DWORD>(sizeof(FormulaBlockHeader) + text.size());
  if (retFormulaLen) *retFormulaLen = static_cast<WORD>(blockSize);
  if (!retFormula) return NOERROR;  // validation only

  DHANDLE h = NULLHANDLE;
  status = OSMemAlloc(tavlo::formula::kFormulaBlockTag, blockSize, &h);
  if (status != NOERROR) {
    if (retFormulaLen) *retFormulaLen = 0;
    return status;
  }
  char* p = static_cast<char*>(OSLockObject(h));
  if (!p) {
    OSMemFree(h);
    if (retFormulaLen) *retFormulaLen = 0;
    return ERR_MEMORY;
  }
  FormulaBlockHeader hdr{tavlo::formula::kFormulaMagic,
                         static_cast<DWORD>(text.size())};
  std::memcpy(p, &hdr, sizeof hdr);
  if (!text.empty()) std::memcpy(p + sizeof hdr, text.data(), text.size());
  OSUnlockObject(h);
  *retFormula = h;
  return NOERROR;
}

STATUS QDSFormulaErrorText(const char* formulaText, WORD formulaTextLen,
                           char* retMessage, WORD messageLen, WORD* retLine,
                           WORD* retColumn, WORD* retOffset, WORD* retLength) {
  if (retMessage && messageLen > 0) retMessage[0] = '\0';
  // The positions come from the compile itself, so both calls always
  // agree on where a formula went wrong.
  STATUS status = QDSFormulaCompile(nullptr, 0, formulaText, formulaTextLen,
                                    nullptr, nullptr, nullptr, retLine,
                                    retColumn, retOffset, retLength);
  if (status != ERR_FORMULA_SYNTAX && status != ERR_FORMULA_TOO_BIG)
    return status;
  if (!retMessage || messageLen == 0) return status;
  CompileError err;
  std::string_view text(formulaText ? formulaText : "", formulaTextLen);
  if (tavlo::formula::Compile(text, nullptr, &err) == NOERROR) {
    // Only the block-size limit of QDSFormulaCompile refuses a formula the
    // parser accepts.
    err.message = "formula is too long for a formula handle";
  }
  size_t n = std::min<size_t>(err.message.size(), messageLen - 1u);
  std::memcpy(retMessage, err.message.data(), n);
  retMessage[n] = '\0';
  return status;
}

STATUS QDSFormulaItemNames(const char* formulaText, WORD formulaTextLen,
                           QDS_FORMULA_ITEM_CALLBACK callback, void* arg) {
  if (!formulaText && formulaTextLen != 0) return ERR_BAD_ARG;
  std::shared_ptr<const tavlo::formula::Program> prog;
  std::string_view text(formulaText ? formulaText : "", formulaTextLen);
  STATUS status = tavlo::formula::Compile(text, &prog, nullptr);
  if (status != NOERROR) return status;
  // Nodes are added as the parser meets them, so walking them in order
  // gives the names in the order they are written; a slot is a name's
  // folded form, so the first node of each slot carries its first spelling.
  std::vector<bool> seen;
  try {
    seen.assign(prog->slots.size(), false);
  } catch (const std::bad_alloc&) {
    return ERR_MEMORY;
  }
  for (const tavlo::formula::Node& n : prog->nodes) {
    if (n.kind != tavlo::formula::NodeKind::kItem || seen[n.a]) continue;
    seen[n.a] = true;
    if (!callback) continue;
    const std::string& name = prog->strings[n.b];
    STATUS st = callback(arg, name.data(),
                         static_cast<WORD>(std::min<size_t>(name.size(), 0xFFFF)));
    if (st != NOERROR) return st;
  }
  return NOERROR;
}
