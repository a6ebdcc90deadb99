#pragma once

#include <cstdint>
#include <string_view>

#include "core/hold_retry.h"
#include "launch/services.h"

namespace launcher {

// The last of the four fields of a file version; 0 means the copy has no usable revision.
using Revision = std::uint16_t;

// The fourth field of a version text of exactly four decimal fields joined by "." (each 0 to
// 65535); 0 for any other text, the empty text included.
Revision RevisionFromVersionText(std::string_view version_text);

// The revision of the copy at `path`: 0 when no file is there (its version is then not read).
// A version read that fails because another process holds the file is tried again within
// `retry`'s budget. Raises the ServiceError of a failed existence test or version read.
Revision ReadRevision(Services& services, const std::string& path, HoldRetry& retry);

}  // namespace launcher
