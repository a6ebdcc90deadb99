#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/pe/pe_image_layout.h"
#include "core/pe/random_access_file.h"

namespace launcher {

// The file version from the fixed part of a PE file's version record, its four fields in decimal
// joined by "." as Windows writes them (1.0.0.5); empty text when the file is not a PE file, has
// no version record, or the record cannot be reached inside the file. Reads only headers and the
// resource data on the way, a few KiB at most whatever the file's size. Where the record exists in
// several languages, takes the language-neutral one, else U.S. English, else the first.
// Throws the ServiceError of a failed read.
std::string ReadPeFileVersion(RandomAccessFile& file);

}  // namespace launcher
