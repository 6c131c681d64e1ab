// Stored texts (recipient names, error texts, item values, file names) are
// bytes the relay took from the wire: usually UTF-8, sometimes Latin-1 or
// worse.  Output must neither abort on them nor lose them:
//
//  - JSON: a valid UTF-8 string is written as it is.  Any other string is
//    written with U+FFFD for each byte that is not part of a well-formed
//    sequence, and a sibling field "<name>_b64" carries the exact bytes in
//    base64 (for a list: one base64 string per entry).
//  - Text: a byte that is not part of a well-formed sequence, and every
//    control character, is shown as \xNN; tab, CR and LF become a space so
//    a row stays one line (and no stored escape sequence reaches the
//    operator's terminal).
//
// Kept free of queue types so every command, and any other front end to
// the queues, writes texts by the same rule.
#ifndef WQADMIN_SAFE_TEXT_H_
#define WQADMIN_SAFE_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace wqadmin {

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing
// past U+10FFFF.
bool IsUtf8(std::string_view s);
// `s` with U+FFFD in place of each byte outside a well-formed sequence.
std::string Utf8Replaced(std::string_view s);

// RFC 4648 base64, padded.  Decode returns false on anything else.
std::string Base64(std::string_view bytes);
bool Base64Decode(std::string_view text, std::string* bytes);

// obj[name] = s by the rule above (adds name_b64 when s is not UTF-8).
void SetText(nlohmann::ordered_json& obj, const std::string& name,
             std::string_view s);
void SetTextList(nlohmann::ordered_json& obj, const std::string& name,
                 const std::vector<std::string>& list);
// The exact bytes SetText stored under `name` ("" when absent).
std::string TextOf(const nlohmann::ordered_json& obj, const std::string& name);

// Serialises without ever throwing: a string that bypassed SetText is
// written with U+FFFD rather than aborting the command.
std::string JsonDump(const nlohmann::ordered_json& j, int indent = -1);

// `s` for a terminal, by the rule above.
std::string Printable(std::string_view s);
// Terminal columns of a Printable() text: one per code point.
size_t Columns(std::string_view printable);
// The longest prefix of a Printable() text that fits in `columns`, never
// splitting a UTF-8 sequence.
std::string_view Cut(std::string_view printable, size_t columns);

}  // namespace wqadmin

#endif  // WQADMIN_SAFE_TEXT_H_
