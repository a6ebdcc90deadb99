#pragma once

#include <memory>
#include <string>

#include "core/signature/timestamp_rules.h"
#include "os/win32/win32_decoded_message.h"

// The timestamps on a decoded signature's primary signer, as the timestamp rules ask them.

namespace launcher {

// The RFC 3161 token among the signer's unsigned attributes; nullptr when there is none, or, with
// `*unreadable` saying why, when it cannot be decoded.
std::unique_ptr<TimestampToken> TimestampTokenOf(const DecodedMessage& message,
                                                 std::string* unreadable);

// The legacy countersignature among the signer's unsigned attributes, its authority's certificate
// found among `message`'s; likewise.
std::unique_ptr<Countersignature> CountersignatureOf(const DecodedMessage& message,
                                                     std::string* unreadable);

}  // namespace launcher
