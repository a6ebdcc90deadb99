#include "core/signature/der_time.h"

#include <cstdio>

namespace launcher {
namespace {

constexpr unsigned char kTagUtcTime = 0x17;
constexpr unsigned char kTagGeneralizedTime = 0x18;

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;

int Digits(const unsigned char* p, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    if (p[i] < '0' || p[i] > '9') return -1;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// The fields after the year, "MMDDHHMMSS[.fraction]Z", at `p`, `size` bytes in all.
std::optional<FileTimeTicks> ParseAfterYear(int year, const unsigned char* p, std::size_t size) {
  if (size < 11 || p[size - 1] != 'Z') return std::nullopt;
  const int month = Digits(p, 2), day = Digits(p + 2, 2);
  const int hour = Digits(p + 4, 2), minute = Digits(p + 6, 2), second = Digits(p + 8, 2);
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  std::int64_t fraction_ticks = 0;
  if (size > 11) {
    if (p[10] != '.' || size == 12) return std::nullopt;
    std::int64_t scale = 1000000;  // ticks in a tenth of a second
    for (std::size_t i = 11; i + 1 < size; ++i) {
      if (p[i] < '0' || p[i] > '9') return std::nullopt;
      fraction_ticks += (p[i] - '0') * scale;
      scale /= 10;
    }
  }
  const std::int64_t seconds =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
      std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second + kSecondsFrom1601To1970;
  return seconds * 10000000 + fraction_ticks;
}

}  // namespace

std::optional<FileTimeTicks> ParseDerTime(const DerValue& time) {
  if (time.tag == kTagGeneralizedTime && time.size >= 4) {
    return ParseAfterYear(Digits(time.contents, 4), time.contents + 4, time.size - 4);
  }
  if (time.tag == kTagUtcTime && time.size == 13) {
    const int year = Digits(time.contents, 2);
    if (year < 0) return std::nullopt;
    // No fraction in a UTCTime.
    return ParseAfterYear(year < 50 ? 2000 + year : 1900 + year, time.contents + 2, 11);
  }
  return std::nullopt;
}

// The inverse of DaysFromCivil for the date.
std::string UtcText(FileTimeTicks ticks) {
  const std::int64_t seconds = ticks / 10000000 - kSecondsFrom1601To1970;
  const std::int64_t second_of_day = (seconds % 86400 + 86400) % 86400;
  const std::int64_t days = (seconds - second_of_day) / 86400 + 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // from March
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2);
  char text[40];
  std::snprintf(
      text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld UTC", static_cast<long long>(year),
      month, day, static_cast<long long>(second_of_day / 3600),
      static_cast<long long>(second_of_day / 60 % 60), static_cast<long long>(second_of_day % 60));
  return text;
}

}  // namespace launcher
