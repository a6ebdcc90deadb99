#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/hold_retry.h"
#include "core/path_text.h"
#include "core/pe/random_access_file.h"
#include "core/replace/copy_check.h"
#include "core/service_error.h"
#include "core/signature/signature_rules.h"

// The crash-safe replacement of one copy by another and the rules it keeps (whole images, the
// publisher pin, a destination that is still older), over a small seam of file steps
// (DiskReplaceSteps on a real system). Failures are ServiceError with operation "FileCopy".

namespace launcher {

// The file a copy is made from, open for reading. Where the system allows it, others may read it
// but not write it while it is open, so a file still being written cannot be opened at all.
// Its bytes are read at any offset (RandomAccessFile), as they were when opened.
class SourceFile : public RandomAccessFile {
 public:
  // The size a whole PE image with these headers needs (PeImageExtent); nullopt when the file is
  // not a PE image. Fails when the file cannot be read.
  virtual std::optional<std::uint64_t> ImageExtent() = 0;

  // The verdict on the file's embedded signature (JudgeSignature where the system has a
  // verifier), read through the open file, so that what is checked is what is copied. Never asks
  // the network or the user. Fails when the file cannot be read.
  virtual Verification VerifiedPublisher() = 0;

  // False when the file may have changed since it was opened (where others could write it: size
  // or modification time differ now). Fails when the file can no longer be examined.
  virtual bool Unchanged() = 0;

  // The file's permission bits where the system has them (POSIX: read, write and execute for
  // owner, group and others, 0 for none), which a copy takes; 0 where a new file takes its
  // folder's instead.
  virtual std::uint32_t Permissions() const = 0;
};

// A new file beside the destination, open, with others denied writing it where the system allows
// it, until it is moved or discarded. What is checked through it is what is moved.
class TemporaryCopy {
 public:
  // Closes the file; does not remove it (Discard does).
  virtual ~TemporaryCopy() = default;

  // Writes the whole of `source` into this file and flushes it to disk. Fails when the source
  // cannot be read or this file cannot be written, leaving what was written so far.
  virtual void CopyFrom(SourceFile& source) = 0;

  // Keeps the written file open for reading only, others still denied writing it where the
  // system allows it, so that no handle with write access is open on it when it takes the
  // destination's name (a program open for writing cannot be started). Fails when the file can
  // no longer be opened as the one written (another process holds or replaced it); the file is
  // then still this object's to discard.
  virtual void CloseForWriting() = 0;

  // The size in bytes now. Fails when the system cannot tell.
  virtual std::uint64_t Size() = 0;

  // The version text of the written bytes (ReadPeFileVersion). Fails when they cannot be read.
  virtual std::string Version() = 0;

  // Moves this file over `destination` in one step, through the open file where the system
  // allows it. Fails when `destination` cannot be replaced (in use, access denied); both files
  // are then as they were.
  virtual void MoveOver(const std::string& destination) = 0;

  // Removes the file unless it was moved. Never fails: a file another process holds so that it
  // cannot be removed now is left to RemoveStaleTemporaries of a later run.
  virtual void Discard() = 0;
};

// The file steps a replacement is made of: DiskReplaceSteps over a platform's Disk, or a fake.
// Paths are the platform's own.
class ReplaceSteps {
 public:
  enum class FileKind { kMissing, kRegular, kOther };

  virtual ~ReplaceSteps() = default;

  // What is at `path`: nothing, a regular file, or something else (a folder, a device). Fails
  // when the system refuses to tell.
  virtual FileKind KindOf(const std::string& path) = 0;

  // The subject of the signer of the file's embedded Authenticode signature, read without
  // verifying it (an expired or otherwise failing signature still names its signer); nullopt when
  // the file has no certificate table, and always on a system without a verifier. Fails when the
  // file cannot be read, and when it has a table whose signature cannot be read or decoded: a
  // signed file is never taken for an unsigned one.
  virtual std::optional<SubjectName> EmbeddedPublisher(const std::string& path) = 0;

  // The signer the file's embedded signature pins it to, time aside (PinningSigner); nullopt when
  // the file has no certificate table, when its table or signature cannot be read or decoded,
  // when the signature pins nothing, and always on a system without a verifier. Reads only the
  // signature and, for its digest, the file, through one handle that denies others writing.
  // Fails when the file cannot be opened or read.
  virtual std::optional<SubjectName> PinningPublisher(const std::string& path) = 0;

  // Opens `path` to copy from it. Fails when it cannot be opened, for instance because another
  // process is writing it.
  virtual std::unique_ptr<SourceFile> OpenSource(const std::string& path) = 0;

  // Creates a new, empty file beside `destination`: exclusively, with an unpredictable name
  // (TemporaryNameFor), never through a link at that name. Fails when it cannot be created.
  virtual std::unique_ptr<TemporaryCopy> CreateTemporary(const std::string& destination) = 0;

  // Fails, as CreateTemporary would, when no file can be created beside `destination`: its
  // folder is missing, or the caller may not add files to it. Creates nothing.
  virtual void CheckCanCreateIn(const std::string& destination) = 0;

  // The version text of the file at `path` as it is now; empty when there is none. Fails when
  // the file exists but cannot be read.
  virtual std::string VersionOf(const std::string& path) = 0;

  // Clears the read-only mark of `path` where one would stop it from being replaced; returns
  // whether it did. False for a missing file. Fails when the mark cannot be cleared.
  virtual bool ClearReadOnly(const std::string& path) = 0;

  // Puts a cleared read-only mark back. Never fails.
  virtual void RestoreReadOnly(const std::string& path) = 0;

  // Waits `milliseconds` before the next step. Never fails.
  virtual void Pause(int milliseconds) = 0;

  // Removes temporaries of a replacement of `copy_path` (TemporaryNameFor beside it) that no
  // other process holds, but for those written in the last kLiveTemporaryGraceSeconds
  // (IsStaleTemporary): a launcher's copy is held while it is written and checked, and only for
  // the instant between the two it is not. Never fails: what cannot be removed stays for a later
  // run.
  virtual void RemoveStaleTemporaries(const std::string& copy_path) = 0;
};

// A temporary written this recently is left alone even when nobody holds it: a launcher closes
// its copy for writing and opens it again for the checks, and in between it holds nothing. That
// instant lasts at most the waits of one HoldRetry.
inline constexpr std::int64_t kLiveTemporaryGraceSeconds = 5;
static_assert(kLiveTemporaryGraceSeconds * 1000 > kHoldWaitBudgetMs);

// Replaces `destination` with a copy of `source` such that `destination` is at every moment the
// old file or the whole new one:
// - the destination must be missing or a regular file, and where `check` leaves a cut
//   destination alone (LeavesCutDestination), a whole PE image, here and just before each move;
// - when the destination carries an embedded signature that pins it (any signature, or where
//   `check` says so, PinsOnlyTrustedSignature, only one PinningPublisher names), the source must
//   name the same signer (SameName) and verify in full as signed by that same subject before
//   anything is copied, through the handle it is then copied from, which others may not write
//   meanwhile. The written copy is not verified again: only this user can write it in the
//   launcher's own folder, and a copy moved into the store is verified in full before it replaces
//   any copy whose signature pins;
// - the source must be a whole PE image that does not change while it is copied, and the written
//   copy must have its size and be the version `check` chose;
// - just before each try of the move the destination is probed again and is replaced only if
//   `check` finds it still older;
// - the copy is checked and moved with no write access left open on it;
// - every read of the source and the destination, the reopening of the written copy and the move
//   are tried again while another process holds the file, within `retry`'s budget.
// Returns false when the destination was no longer older. A failure leaves the destination
// exactly as it was, read-only mark included, with no temporary file remaining (unless another
// process holds it so that it cannot be removed: see TemporaryCopy::Discard).
bool ReplaceWithCopy(ReplaceSteps& steps, const std::string& source, const std::string& destination,
                     const CopyCheck& check, HoldRetry& retry);

// What ReplaceWithCopy would refuse, found without copying and writing nothing: every check it
// makes before it copies (the destination's kind and wholeness, the publisher pin, a whole image
// that can be opened to copy, the source's signature verdict, a folder a temporary can be
// created in).
// Fails with the ServiceError ReplaceWithCopy would fail with; what only copying and moving can
// find (the copy's size and version, a source changing meanwhile, a destination in use) is not
// found.
void CheckReplacement(ReplaceSteps& steps, const std::string& source,
                      const std::string& destination, const CopyCheck& check, HoldRetry& retry);

// Whether a temporary written at `written` may be removed at `now` if nobody holds it, both in
// ticks of `ticks_per_second` since the same epoch: unless it was written in the last
// kLiveTemporaryGraceSeconds. A file dated in the future (the clock was set back) may be.
bool IsStaleTemporary(std::uint64_t now, std::uint64_t written, std::uint64_t ticks_per_second);

// The name of a temporary for the file named `file_name`; `random` makes it unpredictable.
std::string TemporaryNameFor(const std::string& file_name, std::uint64_t random);

// Whether `name` is a temporary made by TemporaryNameFor for `file_name`.
bool IsTemporaryNameFor(const std::string& name, const std::string& file_name);

// The pattern ("*" for any run of characters) that every name TemporaryNameFor gives matches.
std::string TemporaryNamePattern(const std::string& file_name);

}  // namespace launcher
