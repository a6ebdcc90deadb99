#pragma once

#include <string>

namespace launcher {

// The caller's rules about versions, asked by FileCopy after the copy is written and before it is
// moved over the destination.
class CopyCheck {
 public:
  virtual ~CopyCheck() = default;

  // Whether the written copy, whose version text is `version_text`, is the one the caller chose
  // to copy; when not (the source changed since it was probed), nothing is replaced and FileCopy
  // fails.
  virtual bool IsChosenCopy(const std::string& version_text) const = 0;

  // Whether a destination whose version text is now `version_text` (empty when there is none) is
  // still older than the chosen copy; when not, nothing is replaced and FileCopy returns false.
  virtual bool IsOlder(const std::string& version_text) const = 0;

  // Whether a destination that is not a whole program image must be left as it is: where others
  // may write (the update store), a cut file may be a copy that is still being written, and
  // writing over it would mix the two.
  virtual bool LeavesCutDestination() const = 0;

  // Whether a signed destination pins its publisher only when its signature is intact and
  // reaches a trusted root, time aside (PinningSigner): where anyone may write (the update
  // store), a signature anyone could make must not lock the file against every signed copy.
  // Elsewhere any signature pins, even one that no longer verifies.
  virtual bool PinsOnlyTrustedSignature() const = 0;
};

}  // namespace launcher
