#include "safe_text.h"

#include <cstdint>

namespace wqadmin {

namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// byte there starts none (so that byte alone is replaced or escaped, and
// the next one is looked at afresh).  Ranges from RFC 3629's syntax.
size_t SequenceAt(std::string_view s, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
  unsigned char c = at(0);
  if (c < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (at(1) < lo || at(1) > hi) return 0;
  for (size_t k = 2; k < n; k++)
    if (at(k) < 0x80 || at(k) > 0xBF) return 0;
  return n;
}

constexpr char kB64[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t n = SequenceAt(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string Utf8Replaced(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = SequenceAt(s, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i++;
    } else {
      out.append(s, i, n);
      i += n;
    }
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kB64[v >> 18];
    out += kB64[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kB64[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kB64[v & 63] : '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t v = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; k++) {
      char c = text[i + k];
      const char* p = c == '=' ? nullptr : std::char_traits<char>::find(kB64, 64, c);
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        pad++;
      } else if (p == nullptr || pad > 0) {
        return false;
      }
      v = v << 6 | (p ? static_cast<uint32_t>(p - kB64) : 0);
    }
    bytes->push_back(static_cast<char>(v >> 16));
    if (pad < 2) bytes->push_back(static_cast<char>((v >> 8) & 0xFF));
    if (pad < 1) bytes->push_back(static_cast<char>(v & 0xFF));
  }
  return true;
}

void SetText(nlohmann::ordered_json& obj, const std::string& name,
             std::string_view s) {
  if (IsUtf8(s)) {
    obj[name] = std::string(s);
    return;
  }
  obj[name] = Utf8Replaced(s);
  obj[name + "_b64"] = Base64(s);
}

void SetTextList(nlohmann::ordered_json& obj, const std::string& name,
                 const std::vector<std::string>& list) {
  nlohmann::ordered_json texts = nlohmann::ordered_json::array();
  bool allUtf8 = true;
  for (const auto& s : list) {
    allUtf8 = allUtf8 && IsUtf8(s);
    texts.push_back(Utf8Replaced(s));
  }
  obj[name] = texts;
  if (allUtf8) return;
  nlohmann::ordered_json exact = nlohmann::ordered_json::array();
  for (const auto& s : list) exact.push_back(Base64(s));
  obj[name + "_b64"] = exact;
}

std::string TextOf(const nlohmann::ordered_json& obj, const std::string& name) {
  auto b64 = obj.find(name + "_b64");
  std::string bytes;
  if (b64 != obj.end() && b64->is_string() &&
      Base64Decode(b64->get<std::string>(), &bytes))
    return bytes;
  auto it = obj.find(name);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string JsonDump(const nlohmann::ordered_json& j, int indent) {
  return j.dump(indent, ' ', false,
                nlohmann::ordered_json::error_handler_t::replace);
}

std::string Printable(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t n = SequenceAt(s, i);
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (n > 1) {
      out.append(s, i, n);
      i += n;
      continue;
    }
    if (c == '\t' || c == '\n' || c == '\r') {
      out += ' ';
    } else if (n == 0 || c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
    i++;
  }
  return out;
}

size_t Columns(std::string_view printable) {
  size_t n = 0;
  for (char c : printable)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) n++;
  return n;
}

std::string_view Cut(std::string_view printable, size_t columns) {
  size_t seen = 0;
  for (size_t i = 0; i < printable.size(); i++) {
    if ((static_cast<unsigned char>(printable[i]) & 0xC0) == 0x80) continue;
    if (seen == columns) return printable.substr(0, i);
    seen++;
  }
  return printable;
}

}  // namespace wqadmin
