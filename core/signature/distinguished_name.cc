#include "core/signature/distinguished_name.h"

#include <algorithm>
#include <cstdio>
#include <optional>

namespace launcher {
namespace {

constexpr unsigned char kTagOid = 0x06;
constexpr unsigned char kTagUtf8String = 0x0C;
constexpr unsigned char kTagPrintableString = 0x13;
constexpr unsigned char kTagUniversalString = 0x1C;
constexpr unsigned char kTagBmpString = 0x1E;
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagSet = 0x31;

struct Attribute {
  DerValue type;
  DerValue value;
};
using Rdn = std::vector<Attribute>;

std::optional<std::vector<Rdn>> ReadName(const Bytes& der) {
  const std::optional<DerValue> name = ReadWholeDer(der);
  if (!name || name->tag != kTagSequence || name->size == 0) return std::nullopt;
  std::vector<Rdn> rdns;
  for (const unsigned char* at = name->contents; at != name->end;) {
    const std::optional<DerValue> set = ReadDer(at, name->end);
    if (!set || set->tag != kTagSet || set->size == 0) return std::nullopt;
    Rdn rdn;
    for (const unsigned char* in_set = set->contents; in_set != set->end;) {
      const std::optional<DerValue> pair = ReadDer(in_set, set->end);
      if (!pair || pair->tag != kTagSequence) return std::nullopt;
      const std::optional<DerValue> type = ReadDer(pair->contents, pair->end);
      if (!type || type->tag != kTagOid) return std::nullopt;
      const std::optional<DerValue> value = ReadDer(type->end, pair->end);
      if (!value || value->end != pair->end) return std::nullopt;
      rdn.push_back({*type, *value});
      in_set = pair->end;
    }
    rdns.push_back(std::move(rdn));
    at = set->end;
  }
  return rdns;
}

bool IsScalarValue(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// The code point of the UTF-8 sequence at `at`, moving `at` past it; nullopt, `at` unmoved, when
// it is not one (overlong forms and surrogates are not).
std::optional<char32_t> NextUtf8(const unsigned char*& at, const unsigned char* end) {
  const unsigned char lead = *at;
  std::size_t extra = lead < 0x80 ? 0 : lead < 0xC2 ? 4 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  if (extra == 4 || lead > 0xF4 || static_cast<std::size_t>(end - at) <= extra) return std::nullopt;
  char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
  for (std::size_t i = 1; i <= extra; ++i) {
    if ((at[i] & 0xC0) != 0x80) return std::nullopt;
    c = c << 6 | (at[i] & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
  if (c < kShortest[extra] || !IsScalarValue(c)) return std::nullopt;
  at += extra + 1;
  return c;
}

bool IsDirectoryString(unsigned char tag) {
  return tag == kTagPrintableString || tag == kTagUtf8String || tag == kTagBmpString ||
         tag == kTagUniversalString;
}

// The characters of a DirectoryString value, a PrintableString read as ASCII; nullopt when they
// are not valid for its type. TeletexString is not among them: its character set is not Latin-1,
// and nobody agrees on it.
std::optional<std::u32string> Characters(const DerValue& value) {
  std::u32string text;
  const unsigned char* at = value.contents;
  const std::size_t width = value.tag == kTagBmpString         ? 2
                            : value.tag == kTagUniversalString ? 4
                                                               : 1;
  if (value.size % width != 0) return std::nullopt;
  while (at != value.end) {
    char32_t c = 0;
    if (value.tag == kTagUtf8String) {
      const std::optional<char32_t> next = NextUtf8(at, value.end);
      if (!next) return std::nullopt;
      c = *next;
    } else {
      for (std::size_t i = 0; i < width; ++i) c = c << 8 | *at++;
      if (value.tag == kTagPrintableString && c >= 0x80) return std::nullopt;
    }
    if (!IsScalarValue(c)) return std::nullopt;
    text.push_back(c);
  }
  return text;
}

// RFC 4518's preparation as far as it goes without tables: ASCII letters folded to lower case,
// leading and trailing spaces dropped, inner runs of spaces made one. Not done: Unicode case
// folding and normalisation, and the mapping of other spaces, controls and invisible characters:
// names that differ only there are different names, so such a copy is refused, never accepted.
// Only U+0020 is a space here: a NUL or another control stays in the name.
std::u32string Prepared(const std::u32string& text) {
  std::u32string prepared;
  bool space = false;
  for (char32_t c : text) {
    if (c == U' ') {
      space = !prepared.empty();
      continue;
    }
    if (space) prepared.push_back(U' ');
    space = false;
    prepared.push_back(c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c);
  }
  return prepared;
}

bool SameBytes(const DerValue& a, const DerValue& b) {
  return a.tag == b.tag && std::equal(a.contents, a.end, b.contents, b.end);
}

bool SameValue(const DerValue& a, const DerValue& b) {
  if (IsDirectoryString(a.tag) && IsDirectoryString(b.tag)) {
    const std::optional<std::u32string> left = Characters(a);
    const std::optional<std::u32string> right = Characters(b);
    if (left && right) return Prepared(*left) == Prepared(*right);
  }
  return SameBytes(a, b);
}

// The same attributes in any order, each matched once.
bool SameRdn(const Rdn& a, const Rdn& b) {
  if (a.size() != b.size()) return false;
  std::vector<bool> matched(b.size());
  for (const Attribute& attribute : a) {
    std::size_t i = 0;
    while (i < b.size() && (matched[i] || !SameBytes(attribute.type, b[i].type) ||
                            !SameValue(attribute.value, b[i].value))) {
      ++i;
    }
    if (i == b.size()) return false;
    matched[i] = true;
  }
  return true;
}

bool IsInvisible(char32_t c) {
  // Controls, every space but U+0020, and the code points Unicode says to show as nothing
  // (Default_Ignorable_Code_Point: format and direction marks, variation selectors, fillers,
  // tags).
  constexpr struct {
    char32_t first, last;
  } kRanges[] = {
      {0x00, 0x1F},       {0x7F, 0xA0},     {0xAD, 0xAD},       {0x34F, 0x34F},
      {0x61C, 0x61C},     {0x115F, 0x1160}, {0x1680, 0x1680},   {0x17B4, 0x17B5},
      {0x180B, 0x180F},   {0x2000, 0x200F}, {0x2028, 0x202F},   {0x205F, 0x206F},
      {0x3000, 0x3000},   {0x3164, 0x3164}, {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
      {0xFFA0, 0xFFA0},   {0xFFF0, 0xFFFB}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
      {0xE0000, 0xE0FFF},
  };
  for (const auto& range : kRanges) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

// A byte as "\x" and two hex digits, a character beyond ASCII as "\u" and four.
std::string Escape(char32_t value, bool byte) {
  char code[16];
  std::snprintf(code, sizeof code, byte ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(value));
  return code;
}

}  // namespace

bool IsReadableName(const Bytes& der) { return ReadName(der).has_value(); }

bool SameName(const Bytes& a, const Bytes& b) {
  const std::optional<std::vector<Rdn>> left = ReadName(a);
  const std::optional<std::vector<Rdn>> right = ReadName(b);
  return left && right &&
         std::equal(left->begin(), left->end(), right->begin(), right->end(), SameRdn);
}

std::string EscapedName(const std::string& text) {
  std::string escaped;
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = at + text.size();
  while (at != end) {
    const unsigned char* const start = at;
    const std::optional<char32_t> c = NextUtf8(at, end);
    if (!c) {
      escaped += Escape(*at++, true);
    } else if (*c == U'\\') {
      escaped += "\\\\";
    } else if (IsInvisible(*c)) {
      escaped += Escape(*c, *c < 0x80);
    } else {
      escaped.append(start, at);
    }
  }
  return escaped;
}

}  // namespace launcher
