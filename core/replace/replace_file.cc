#include "core/replace/replace_file.h"

#include <cstdio>

namespace launcher {
namespace {

constexpr char kTemporaryPrefix[] = "~";
constexpr char kTemporarySuffix[] = ".tmp";
constexpr std::size_t kRandomDigits = 16;

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw ServiceError("FileCopy", path, why);
}

bool IsWholeImage(SourceFile& file) {
  const std::optional<std::uint64_t> extent = file.ImageExtent();
  return extent && file.Size() >= *extent;
}

// Where others may write, a destination that is not a whole image may be a copy still being
// written in parts: writing over it would leave a mix of two programs once the writer goes on.
void RequireWholeDestination(ReplaceSteps& steps, HoldRetry& retry, const CopyCheck& check,
                             const std::string& destination) {
  if (!check.LeavesCutDestination()) return;
  if (steps.KindOf(destination) != ReplaceSteps::FileKind::kRegular) return;
  const std::unique_ptr<SourceFile> file = retry.Run([&] { return steps.OpenSource(destination); });
  if (!IsWholeImage(*file)) {
    Refuse(destination, "not a whole program image, which another program may still be writing");
  }
}

// Names as the system renders them, whole: a control character could cut a message short.
[[noreturn]] void RefuseSigner(const std::string& source, const SubjectName& offered,
                               const SubjectName& pinned) {
  Refuse(source, "signed by \"" + EscapedName(offered.text) + "\", not by \"" +
                     EscapedName(pinned.text) + "\"");
}

// A signed copy is replaced only by its own publisher's: refused before anything is copied when
// the destination is no regular file, or the source names no signer or another one. Returns the
// destination's signer, which the copy must then verify as.
std::optional<SubjectName> CheckBeforeCopy(ReplaceSteps& steps, HoldRetry& retry,
                                           const CopyCheck& check, const std::string& source,
                                           const std::string& destination) {
  const ReplaceSteps::FileKind kind = steps.KindOf(destination);
  if (kind == ReplaceSteps::FileKind::kOther) Refuse(destination, "not a regular file");
  std::optional<SubjectName> pinned_publisher;
  RequireWholeDestination(steps, retry, check, destination);
  if (kind == ReplaceSteps::FileKind::kRegular) {
    pinned_publisher = retry.Run([&] {
      return check.PinsOnlyTrustedSignature() ? steps.PinningPublisher(destination)
                                              : steps.EmbeddedPublisher(destination);
    });
  }
  if (pinned_publisher) {
    const std::optional<SubjectName> offered =
        retry.Run([&] { return steps.EmbeddedPublisher(source); });
    if (!offered) Refuse(source, "not signed, and the copy it would replace is");
    if (!SameName(offered->der, pinned_publisher->der)) {
      RefuseSigner(source, *offered, *pinned_publisher);
    }
  }
  return pinned_publisher;
}

std::unique_ptr<SourceFile> OpenWholeImage(ReplaceSteps& steps, HoldRetry& retry,
                                           const std::string& source) {
  std::unique_ptr<SourceFile> from = retry.Run([&] { return steps.OpenSource(source); });
  if (!IsWholeImage(*from)) Refuse(source, "not a whole program image");
  return from;
}

void RequirePublisher(const Verification& verification, const SubjectName& pinned_publisher,
                      const std::string& source) {
  if (!verification.verified) {
    Refuse(source, "its signature does not verify: " + verification.problem);
  }
  if (!SameName(verification.subject.der, pinned_publisher.der)) {
    RefuseSigner(source, verification.subject, pinned_publisher);
  }
}

// Every check made before a byte is copied; returns the source open to copy from. A signed
// destination's publisher is required of the source in full, through that same handle.
std::unique_ptr<SourceFile> OpenCheckedSource(ReplaceSteps& steps, HoldRetry& retry,
                                              const CopyCheck& check, const std::string& source,
                                              const std::string& destination) {
  const std::optional<SubjectName> pinned_publisher =
      CheckBeforeCopy(steps, retry, check, source, destination);
  std::unique_ptr<SourceFile> from = OpenWholeImage(steps, retry, source);
  if (pinned_publisher) RequirePublisher(from->VerifiedPublisher(), *pinned_publisher, source);
  return from;
}

// Writes, checks and moves; any failure leaves `temporary` to the caller to discard.
bool CopyCheckAndMove(ReplaceSteps& steps, HoldRetry& retry, TemporaryCopy& temporary,
                      SourceFile& from, const std::string& source, const std::string& destination,
                      const CopyCheck& check) {
  temporary.CopyFrom(from);
  retry.Run([&] { temporary.CloseForWriting(); });
  if (!from.Unchanged()) Refuse(source, "the file changed while it was copied");
  if (temporary.Size() != from.Size()) Refuse(source, "the copy is not the whole file");
  if (!check.IsChosenCopy(temporary.Version())) {
    Refuse(source, "the file changed since its version was read");
  }
  return retry.Run([&] {
    // Windows has no rename that compares first: another launcher may still replace the
    // destination between this probe and the move. The probe narrows that window from the whole
    // copy to the move itself, and is made again before each try: a hold may have been that
    // launcher finishing its own move.
    if (!check.IsOlder(steps.VersionOf(destination))) return false;
    // Windows refuses to move over a read-only file; the forced replacement clears the mark and
    // puts it back when the move fails.
    const bool was_read_only = steps.ClearReadOnly(destination);
    try {
      // Last before the move, to leave the least time for a writer to start on it meanwhile:
      // the destination cannot be held through the move, which Windows refuses over an open file.
      RequireWholeDestination(steps, retry, check, destination);
      temporary.MoveOver(destination);
    } catch (...) {
      if (was_read_only) steps.RestoreReadOnly(destination);
      throw;
    }
    return true;
  });
}

}  // namespace

bool ReplaceWithCopy(ReplaceSteps& steps, const std::string& source, const std::string& destination,
                     const CopyCheck& check, HoldRetry& retry) {
  const std::unique_ptr<SourceFile> from =
      OpenCheckedSource(steps, retry, check, source, destination);
  const std::unique_ptr<TemporaryCopy> temporary = steps.CreateTemporary(destination);
  try {
    const bool moved =
        CopyCheckAndMove(steps, retry, *temporary, *from, source, destination, check);
    if (!moved) temporary->Discard();
    return moved;
  } catch (...) {
    temporary->Discard();
    throw;
  }
}

void CheckReplacement(ReplaceSteps& steps, const std::string& source,
                      const std::string& destination, const CopyCheck& check, HoldRetry& retry) {
  const std::optional<SubjectName> pinned_publisher =
      CheckBeforeCopy(steps, retry, check, source, destination);
  const std::unique_ptr<SourceFile> from = OpenWholeImage(steps, retry, source);
  if (pinned_publisher) RequirePublisher(from->VerifiedPublisher(), *pinned_publisher, source);
  steps.CheckCanCreateIn(destination);
}

bool IsStaleTemporary(std::uint64_t now, std::uint64_t written, std::uint64_t ticks_per_second) {
  const auto age = static_cast<std::int64_t>(now - written);
  return age < 0 || static_cast<std::uint64_t>(age) / ticks_per_second >=
                        static_cast<std::uint64_t>(kLiveTemporaryGraceSeconds);
}

std::string TemporaryNameFor(const std::string& file_name, std::uint64_t random) {
  char digits[kRandomDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random));
  return kTemporaryPrefix + file_name + "." + digits + kTemporarySuffix;
}

bool IsTemporaryNameFor(const std::string& name, const std::string& file_name) {
  const std::string prefix = kTemporaryPrefix + file_name + ".";
  const std::string suffix = kTemporarySuffix;
  if (name.size() != prefix.size() + kRandomDigits + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + kRandomDigits; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string TemporaryNamePattern(const std::string& file_name) {
  return kTemporaryPrefix + file_name + ".*" + kTemporarySuffix;
}

}  // namespace launcher
