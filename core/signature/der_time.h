#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/signature/der_value.h"

// The times that signatures carry, read from DER, and told in words.

namespace launcher {

// Times are counted as Windows counts them: 100 ns ticks since 1601-01-01 00:00 UTC.
using FileTimeTicks = std::int64_t;

// A GeneralizedTime ("YYYYMMDDHHMMSS[.fraction]Z", as RFC 3161 requires it) or a UTCTime
// ("YYMMDDHHMMSSZ", years from 1950 to 2049, as RFC 5280 reads it); nullopt for any other value,
// another form of either (local time, an offset, no seconds) or a field out of its range.
std::optional<FileTimeTicks> ParseDerTime(const DerValue& time);

// "YYYY-MM-DD HH:MM:SS UTC".
std::string UtcText(FileTimeTicks ticks);

}  // namespace launcher
