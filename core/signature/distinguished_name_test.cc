#include "core/signature/distinguished_name.h"

#include <gtest/gtest.h>

#include "tests/fake_signature.h"

namespace launcher {
namespace {

constexpr unsigned char kIa5String = 0x16;
constexpr unsigned char kTeletexString = 0x14;
constexpr unsigned char kUniversalString = 0x1C;
constexpr unsigned char kBmpString = 0x1E;

// A's subject with its values of `tag`, or of `country_tag` for the country.
Bytes PublisherA(unsigned char tag, const std::string& common_name = "Norvik Test Publisher A",
                 unsigned char country_tag = kPrintableString) {
  return NameDer({RdnDer({AttributeDer(kCountryName, country_tag, Text("NO"))}),
                  RdnDer({AttributeDer(kOrganizationName, tag, Text("Norvik Test Publisher A"))}),
                  RdnDer({AttributeDer(kCommonName, tag, Text(common_name))})});
}

// A name of one common name of `tag` and `value`.
Bytes CommonName(unsigned char tag, const Bytes& value) {
  return NameDer({RdnDer({AttributeDer(kCommonName, tag, value)})});
}

// `text`, ASCII only, in UTF-16 or UTF-32, big-endian.
Bytes Wide(const std::string& text, std::size_t width) {
  Bytes wide;
  for (const char c : text) {
    wide.insert(wide.end(), width - 1, 0);
    wide.push_back(static_cast<unsigned char>(c));
  }
  return wide;
}

// A's attributes, as UTF8String but for the country.
const Bytes kCountry = AttributeDer(kCountryName, kPrintableString, Text("NO"));
const Bytes kOrganization =
    AttributeDer(kOrganizationName, kUtf8String, Text("Norvik Test Publisher A"));
const Bytes kCommon = AttributeDer(kCommonName, kUtf8String, Text("Norvik Test Publisher A"));

TEST(SameName, ComparesWhatNamesSayNotHowTheyAreEncoded) {
  const Bytes a = PublisherA(kUtf8String);
  ASSERT_EQ(a, NameDer({RdnDer({kCountry}), RdnDer({kOrganization}), RdnDer({kCommon})}));
  const struct {
    const char* name;
    Bytes other;
    bool same;
  } cases[] = {
      {"the same bytes", a, true},
      {"PrintableString for UTF8String", PublisherA(kPrintableString), true},
      {"the country as UTF8String", PublisherA(kUtf8String, "Norvik Test Publisher A", kUtf8String),
       true},
      {"another case", PublisherA(kPrintableString, "NORVIK test publisher a"), true},
      {"spaces around and inside", PublisherA(kUtf8String, "  Norvik   Test Publisher A "), true},
      {"a space removed", PublisherA(kUtf8String, "Norvik TestPublisher A"), false},
      {"another publisher", PublisherA(kUtf8String, "Norvik Test Publisher B"), false},
      {"a NUL and more", PublisherA(kUtf8String, std::string("Norvik Test Publisher A\0B", 25)),
       false},
      {"a NUL at the end", PublisherA(kUtf8String, std::string("Norvik Test Publisher A\0", 24)),
       false},
      {"a tab for a space", PublisherA(kUtf8String, "Norvik\tTest Publisher A"), false},
      {"a non-breaking space for a space",
       PublisherA(kUtf8String, "Norvik\xC2\xA0Test Publisher A"), false},
      {"IA5String, no DirectoryString", PublisherA(kIa5String), false},
      {"TeletexString, not decoded", PublisherA(kTeletexString), false},
      {"the RDNs in another order",
       NameDer({RdnDer({kCommon}), RdnDer({kOrganization}), RdnDer({kCountry})}), false},
      {"an RDN more",
       NameDer({RdnDer({kCountry}), RdnDer({kOrganization}), RdnDer({kCommon}), RdnDer({kCommon})}),
       false},
      {"an RDN fewer", NameDer({RdnDer({kCountry}), RdnDer({kOrganization})}), false},
      {"two RDNs made one", NameDer({RdnDer({kCountry}), RdnDer({kOrganization, kCommon})}), false},
      {"an attribute more in an RDN",
       NameDer({RdnDer({kCountry}), RdnDer({kOrganization}), RdnDer({kCommon, kCountry})}), false},
      {"another type",
       NameDer({RdnDer({kCountry}), RdnDer({kOrganization}), RdnDer({kOrganization})}), false},
      {"bytes after the name", Join({a, {0}}), false},
      {"cut", Bytes(a.begin(), a.end() - 1), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SameName(a, c.other), c.same);
    EXPECT_EQ(SameName(c.other, a), c.same);
  }
}

TEST(SameName, DecodesEachDirectoryStringType) {
  const std::string text = "Norvik Test Publisher A";
  const Bytes utf8 = CommonName(kUtf8String, Text(text));
  const Bytes e_acute_utf8 = CommonName(kUtf8String, Text("Norvik \xC3\xA9"));
  const struct {
    const char* name;
    Bytes left;
    Bytes right;
    bool same;
  } cases[] = {
      {"BMPString", utf8, CommonName(kBmpString, Wide(text, 2)), true},
      {"UniversalString", utf8, CommonName(kUniversalString, Wide(text, 4)), true},
      {"BMPString beyond ASCII", e_acute_utf8,
       CommonName(kBmpString, Join({Wide("Norvik ", 2), {0x00, 0xE9}})), true},
      {"UTF-8 in a PrintableString", e_acute_utf8,
       CommonName(kPrintableString, Text("Norvik \xC3\xA9")), false},
      {"a BMPString of an odd length", utf8, CommonName(kBmpString, Join({Wide(text, 2), {0}})),
       false},
      {"an overlong UTF-8 space", utf8,
       CommonName(kUtf8String, Text("Norvik\xE0\x80\xA0Test Publisher A")), false},
      {"a surrogate, in BMPString and UniversalString", CommonName(kBmpString, {0xD8, 0x00}),
       CommonName(kUniversalString, {0, 0, 0xD8, 0x00}), false},
      {"an RDN's attributes in another order", NameDer({RdnDer({kOrganization, kCommon})}),
       NameDer({RdnDer({kCommon, kOrganization})}), true},
      {"invalid UTF-8 is its own bytes", CommonName(kUtf8String, {0xFF}),
       CommonName(kUtf8String, {0xFF}), true},
      {"an IA5String is its bytes", CommonName(kIa5String, Text("a")),
       CommonName(kIa5String, Text("A")), false},
      {"no RDN at all", NameDer({}), NameDer({}), false},
      {"an empty RDN", NameDer({RdnDer({})}), NameDer({RdnDer({})}), false},
      {"a type that is no OID",
       NameDer({RdnDer({Der(0x30, Join({Der(0x04, {1}), Der(0x0C, {})}))})}),
       NameDer({RdnDer({Der(0x30, Join({Der(0x04, {1}), Der(0x0C, {})}))})}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SameName(c.left, c.right), c.same);
    EXPECT_EQ(SameName(c.right, c.left), c.same);
    EXPECT_EQ(IsReadableName(c.left), SameName(c.left, c.left));
  }
}

TEST(EscapedName, ShowsEveryCharacterThatCouldCutOrDisguiseAName) {
  const struct {
    std::string text;
    std::string shown;
  } cases[] = {
      {"CN=Norvik Test Publisher A", "CN=Norvik Test Publisher A"},
      {std::string("CN=A\0planted", 12), "CN=A\\x00planted"},
      {"CN=A\tB\r\nC\x1b\x7f", "CN=A\\x09B\\x0d\\x0aC\\x1b\\x7f"},
      {"CN=A\\x00", "CN=A\\\\x00"},
      {"CN=\xC3\xA9\xE2\x80\xAE"
       "A\xC2\x85",
       "CN=\xC3\xA9\\u202eA\\u0085"},
      {"CN=\xFF\xC3", "CN=\\xff\\xc3"},
      // Spaces other than U+0020 and characters shown as nothing: no-break, ideographic, an
      // Arabic letter mark, a tag letter, a variation selector, a Hangul filler.
      {"CN=A\xC2\xA0"
       "B\xE3\x80\x80"
       "C\xD8\x9C"
       "D\xF3\xA0\x81\x81"
       "E\xEF\xB8\x8F"
       "F\xE3\x85\xA4",
       "CN=A\\u00a0B\\u3000C\\u061cD\\ue0041E\\ufe0fF\\u3164"},
  };
  for (const auto& c : cases) EXPECT_EQ(EscapedName(c.text), c.shown);
}

}  // namespace
}  // namespace launcher
