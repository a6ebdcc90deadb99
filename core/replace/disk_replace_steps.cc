#include "core/replace/disk_replace_steps.h"

#include <vector>

#include "core/pe/pe_image_layout.h"
#include "core/pe/pe_version_reader.h"
#include "core/replace/fresh_name.h"

namespace launcher {
namespace {

constexpr char kOperation[] = "FileCopy";
constexpr std::size_t kCopyChunk = 1 << 20;

constexpr char kCannotBeRead[] = "its signature cannot be read: ";

class DiskSource : public SourceFile {
 public:
  DiskSource(Disk& disk, std::unique_ptr<DiskFile> file) : disk_(disk), file_(std::move(file)) {}

  std::uint64_t Size() const override { return file_->Size(); }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    return file_->ReadAt(offset, buffer, length);
  }
  std::optional<std::uint64_t> ImageExtent() override { return PeImageExtent(*file_); }
  Verification VerifiedPublisher() override { return VerifySignature(disk_, *file_); }
  bool Unchanged() override { return file_->Unchanged(); }
  std::uint32_t Permissions() const override { return file_->Permissions(); }

 private:
  Disk& disk_;
  std::unique_ptr<DiskFile> file_;
};

class DiskTemporary : public TemporaryCopy {
 public:
  explicit DiskTemporary(std::unique_ptr<NewDiskFile> file) : file_(std::move(file)) {}

  void CopyFrom(SourceFile& source) override {
    std::vector<char> buffer(kCopyChunk);
    for (std::uint64_t offset = 0;;) {
      const std::size_t got = source.ReadAt(offset, buffer.data(), buffer.size());
      if (got == 0) break;
      file_->WriteAt(offset, buffer.data(), got);
      offset += got;
    }
    file_->Finish(source.Permissions());
  }
  void CloseForWriting() override { file_->CloseForWriting(); }
  std::uint64_t Size() override { return file_->Size(); }
  std::string Version() override { return ReadPeFileVersion(*file_); }
  void MoveOver(const std::string& destination) override { file_->MoveOver(destination); }
  void Discard() override { file_->Discard(); }

 private:
  std::unique_ptr<NewDiskFile> file_;
};

// `failure` as it names `destination` where it named `path`, the name tried for its copy (or no
// path): the caller knows the destination, not that name.
ServiceError Naming(const std::string& destination, const ServiceError& failure,
                    const std::string& path) {
  if (failure.path() != path) return failure;
  return ServiceError(failure.operation(), destination, failure.system_text(), failure.cause());
}

}  // namespace

std::optional<SubjectName> NamedSigner(Disk& disk, DiskFile& file, std::string* unreadable) {
  if (!disk.VerifiesSignatures()) return std::nullopt;
  const CertificateTable table = ReadCertificateTable(file);
  if (table.state == CertificateTable::State::kAbsent) return std::nullopt;
  if (table.state == CertificateTable::State::kUnreadable) {
    *unreadable = kCannotBeRead + table.problem;
    return std::nullopt;
  }
  try {
    return file.DecodeSignature(table.signature, FileCheck::kFull)->SignerSubject();
  } catch (const Undecodable& why) {
    *unreadable = kCannotBeRead + std::string(why.what());
    return std::nullopt;
  }
}

Verification VerifySignature(Disk& disk, DiskFile& file) {
  Verification verdict;
  if (!disk.VerifiesSignatures()) {
    verdict.problem = "no signature verifier on this system";
    return verdict;
  }
  const CertificateTable table = ReadCertificateTable(file);
  if (table.state == CertificateTable::State::kAbsent) {
    verdict.problem = "the file is not signed";
  } else if (table.state == CertificateTable::State::kUnreadable) {
    verdict.problem = kCannotBeRead + table.problem;
  } else if (!table.excess.empty()) {
    verdict.problem = table.excess;
  } else {
    try {
      verdict = JudgeSignature(*file.DecodeSignature(table.signature, FileCheck::kFull));
    } catch (const Undecodable& why) {
      verdict.problem = kCannotBeRead + std::string(why.what());
    }
  }
  return verdict;
}

std::optional<SubjectName> DiskReplaceSteps::EmbeddedPublisher(const std::string& path) {
  if (!disk_.VerifiesSignatures()) return std::nullopt;
  const std::unique_ptr<DiskFile> file = disk_.OpenToRead(path);
  std::string unreadable;
  std::optional<SubjectName> signer = NamedSigner(disk_, *file, &unreadable);
  // A signed file is never taken for an unsigned one.
  if (!unreadable.empty()) throw ServiceError(kOperation, path, unreadable);
  return signer;
}

std::optional<SubjectName> DiskReplaceSteps::PinningPublisher(const std::string& path) {
  if (!disk_.VerifiesSignatures()) return std::nullopt;
  const std::unique_ptr<DiskFile> file = disk_.OpenToRead(path);
  const CertificateTable table = ReadCertificateTable(*file);
  if (table.state != CertificateTable::State::kPresent) return std::nullopt;
  try {
    return PinningSigner(*file->DecodeSignature(table.signature, FileCheck::kDigestOnly));
  } catch (const Undecodable&) {
    return std::nullopt;  // anyone can write a signature that does not decode
  }
}

std::unique_ptr<SourceFile> DiskReplaceSteps::OpenSource(const std::string& path) {
  return std::make_unique<DiskSource>(disk_, disk_.OpenToRead(path));
}

std::unique_ptr<TemporaryCopy> DiskReplaceSteps::CreateTemporary(const std::string& destination) {
  std::unique_ptr<NewDiskFile> file;
  const std::optional<std::string> name = CreateWithFreshName(
      destination,
      [&] {
        try {
          return disk_.RandomNumber();
        } catch (const ServiceError& failure) {
          throw Naming(destination, failure, "");
        }
      },
      [&](const std::string& candidate) {
        const std::string path = SiblingPath(destination, candidate);
        try {
          file = disk_.CreateNew(path);
        } catch (const ServiceError& failure) {
          throw Naming(destination, failure, path);
        }
        return file ? CreateOutcome::kCreated : CreateOutcome::kNameTaken;
      });
  if (!name) {
    throw ServiceError(kOperation, destination,
                       "every fresh name for a copy beside it was taken (" +
                           std::to_string(kTemporaryNameTries) + " tried)");
  }
  return std::make_unique<DiskTemporary>(std::move(file));
}

std::string DiskReplaceSteps::VersionOf(const std::string& path) {
  const std::unique_ptr<RandomAccessFile> file = disk_.OpenIfPresent(path);
  return file ? ReadPeFileVersion(*file) : std::string();
}

void DiskReplaceSteps::RemoveStaleTemporaries(const std::string& copy_path) {
  const std::string file_name = FileNameOf(copy_path);
  const Disk::Listing listing = disk_.ListFiles(copy_path, TemporaryNamePattern(file_name));
  for (const Disk::Listing::File& file : listing.files) {
    if (IsTemporaryNameFor(file.name, file_name) &&
        IsStaleTemporary(listing.now, file.written, listing.ticks_per_second)) {
      disk_.RemoveUnheld(SiblingPath(copy_path, file.name));
    }
  }
}

}  // namespace launcher
