#pragma once

#include <string>

#include "core/signature/der_value.h"

// Distinguished names compared by what they say rather than how they are encoded: certificate
// authorities write the same subject with different string types, which the system then renders
// as different text.

namespace launcher {

// A certificate's subject: its DER, which is what is compared, and the system's text for it,
// which is for messages only.
struct SubjectName {
  Bytes der;
  std::string text;
};

// Whether `der` is a whole DER distinguished name of at least one RDN, each of at least one
// attribute.
bool IsReadableName(const Bytes& der);

// Whether two DER names are the same (RFC 5280 section 7.1): as many RDNs, in the same order,
// each with the same attributes in any order: the same type, and the same value. A value of a
// DirectoryString type (PrintableString, UTF8String, BMPString, UniversalString) is compared as
// Unicode whatever its type, after ASCII case folding and with insignificant spaces removed
// (leading and trailing ones, inner runs counted as one); a value of any other type, or not valid
// for its own, byte for byte, type included. A name that is not readable is the same as none.
bool SameName(const Bytes& a, const Bytes& b);

// The name's text as a message may show it: every control character, invisible format
// character, byte that is not UTF-8, and the backslash written as an escape ("\x00",
// "\u202e", "\\"), so that nothing in a name can cut it short or make it look like another.
std::string EscapedName(const std::string& text);

}  // namespace launcher
