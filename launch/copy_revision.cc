#include "launch/copy_revision.h"

#include <array>
#include <cstddef>

namespace launcher {
namespace {

constexpr std::size_t kFieldCount = 4;
constexpr std::uint32_t kFieldMax = 0xFFFF;

}  // namespace

Revision RevisionFromVersionText(std::string_view version_text) {
  std::array<std::uint32_t, kFieldCount> fields{};
  std::size_t field = 0;
  bool field_has_digit = false;
  for (char c : version_text) {
    if (c == '.') {
      if (!field_has_digit || ++field == kFieldCount) return 0;
      field_has_digit = false;
    } else if (c >= '0' && c <= '9') {
      fields[field] = fields[field] * 10 + static_cast<std::uint32_t>(c - '0');
      if (fields[field] > kFieldMax) return 0;
      field_has_digit = true;
    } else {
      return 0;
    }
  }
  if (field != kFieldCount - 1 || !field_has_digit) return 0;
  return static_cast<Revision>(fields[kFieldCount - 1]);
}

Revision ReadRevision(Services& services, const std::string& path, HoldRetry& retry) {
  if (!services.FileExists(path)) return 0;
  return RevisionFromVersionText(retry.Run([&] { return services.GetFileVersion(path); }));
}

}  // namespace launcher
