#pragma once

#include <cstdint>
#include <string>

namespace launcher {

// The file primitives a crash-safe replacement is made of; one implementation per platform.
// Paths are the platform's own. Failures are ServiceError with operation "FileCopy".
class ReplaceSteps {
 public:
  virtual ~ReplaceSteps() = default;

  // Removes temporaries of `destination` that a killed run left behind, once they are older than
  // kStaleTemporaryAge. Never fails: what cannot be removed stays for a later run.
  virtual void RemoveStaleTemporaries(const std::string& destination) = 0;

  // Creates a new file beside `destination` (exclusively, with an unpredictable name, not
  // following links), writes the whole of `source` into it and flushes it to disk; returns its
  // path. Fails when the source cannot be read or the file cannot be created or written, having
  // removed what it created.
  virtual std::string WriteTemporaryCopy(const std::string& source,
                                         const std::string& destination) = 0;

  // Clears the read-only mark of `path` where one would stop it from being replaced; returns
  // whether it did. False for a missing file. Fails when the mark cannot be cleared.
  virtual bool ClearReadOnly(const std::string& path) = 0;

  // Puts a cleared read-only mark back. Never fails.
  virtual void RestoreReadOnly(const std::string& path) = 0;

  // Moves `from` over `to` in one step, durably. Fails when `to` cannot be replaced (in use,
  // access denied); both files are then as they were.
  virtual void MoveOver(const std::string& from, const std::string& to) = 0;

  // Removes `path` if it can. Never fails.
  virtual void RemoveQuietly(const std::string& path) = 0;
};

// Temporaries left behind by a killed run are removed once this old; a live copy takes seconds.
inline constexpr std::int64_t kStaleTemporaryAgeSeconds = 60 * 60;

// Replaces `destination` with a copy of `source` such that `destination` is at every moment the
// old file or the whole new one, and a failure leaves it exactly as it was with no temporary file
// remaining.
void ReplaceWithCopy(ReplaceSteps& steps, const std::string& source,
                     const std::string& destination);

// The name of a temporary for the file named `file_name`; `random` makes it unpredictable.
std::string TemporaryNameFor(const std::string& file_name, std::uint64_t random);

// Whether `name` is a temporary made by TemporaryNameFor for `file_name`.
bool IsTemporaryNameFor(const std::string& name, const std::string& file_name);

// The folder part of `path` (up to the last "/" or "\"), and the rest.
std::string FolderOf(const std::string& path);
std::string FileNameOf(const std::string& path);

}  // namespace launcher
