#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/random_access_file.h"

namespace launcher {

// The file version from the fixed part of a PE file's version record, its four fields in decimal
// joined by "." as Windows writes them (1.0.0.5); empty text when the file is not a PE file, has
// no version record, or the record cannot be reached inside the file. Reads only headers and the
// resource data on the way, a few KiB at most whatever the file's size. Where the record exists in
// several languages, takes the language-neutral one, else U.S. English, else the first.
// Throws the ServiceError of a failed read.
std::string ReadPeFileVersion(RandomAccessFile& file);

// The size in bytes that a whole image with these headers needs: the end of the headers, of every
// section's raw data and of the certificate table, whichever is last. A file shorter than that
// was cut (or is still being written). nullopt when the file is not a PE image this reader
// understands. Throws the ServiceError of a failed read.
std::optional<std::uint64_t> PeImageExtent(RandomAccessFile& file);

}  // namespace launcher
