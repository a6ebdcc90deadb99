#include "tests/memory_disk.h"

#include <stdexcept>
#include <utility>

namespace launcher {
namespace {

constexpr char kUnreadable[] = "its signature cannot be read: it is not a PKCS#7 signature";

// What the system's crypto finds in the file's signature, which names `subject`.
FakeSignature SignatureOf(const MemoryDiskFile& file, const SubjectName& subject) {
  FakeSignature signature = file.signature;
  signature.subject = subject;
  if (!file.verifies) signature.chain_errors_now |= chain_error::kUntrustedRoot;
  return signature;
}

// As the real check decides: the table first, then the rules over what the crypto finds.
Verification VerdictOn(const MemoryDiskFile& file) {
  if (file.publisher.der.empty()) return {false, {}, "the file is not signed"};
  if (!file.signature_readable) return {false, {}, kUnreadable};
  FakeSignedMessage message(SignatureOf(file, file.verified_as.value_or(file.publisher)));
  return JudgeSignature(message);
}

class MemorySource : public SourceFile {
 public:
  MemorySource(MemoryDisk& disk, std::string path)
      : disk_(disk), path_(std::move(path)), size_(disk.files.at(path_).contents.size()) {}

  std::uint64_t Size() const override { return size_; }
  std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    const std::string& contents = file().contents;
    if (offset >= contents.size()) return 0;
    return contents.copy(static_cast<char*>(buffer), length, static_cast<std::size_t>(offset));
  }
  std::uint32_t Permissions() const override { return 0; }
  std::optional<std::uint64_t> ImageExtent() override {
    disk_.Step("ImageExtent", path_);
    return disk_.files.at(path_).whole ? size_ : size_ + 1;
  }
  Verification VerifiedPublisher() override {
    disk_.Step("VerifiedPublisher", path_);
    return VerdictOn(file());
  }
  bool Unchanged() override {
    disk_.Step("Unchanged", path_);
    return disk_.changing.count(path_) == 0;
  }

  const MemoryDiskFile& file() const { return disk_.files.at(path_); }

 private:
  MemoryDisk& disk_;
  std::string path_;
  std::uint64_t size_;
};

class MemoryTemporary : public TemporaryCopy {
 public:
  MemoryTemporary(MemoryDisk& disk, std::string path) : disk_(disk), path_(std::move(path)) {}

  void CopyFrom(SourceFile& source) override {
    disk_.Step("CopyFrom", path_);
    const MemoryDiskFile& from = static_cast<MemorySource&>(source).file();
    MemoryDiskFile& to = disk_.files.at(path_);
    if (disk_.write_fails_after < from.contents.size()) {
      to.contents = from.contents.substr(0, disk_.write_fails_after);
      throw ServiceError("FileCopy", path_, "There is not enough space on the disk.");
    }
    to = from;
    to.read_only = false;
    if (disk_.while_copying) std::exchange(disk_.while_copying, nullptr)();
  }
  void CloseForWriting() override {
    disk_.Step("CloseForWriting", path_);
    writable_ = false;
  }
  std::uint64_t Size() override { return disk_.files.at(path_).contents.size(); }
  std::string Version() override { return disk_.files.at(path_).version; }
  void MoveOver(const std::string& destination) override {
    RequireClosedForWriting("moved");
    disk_.Step("MoveOver", destination);
    const auto target = disk_.files.find(destination);
    if (target != disk_.files.end() &&
        (target->second.read_only || disk_.in_use.count(destination) != 0)) {
      // As Windows says it for both; only a hold ends by itself.
      throw ServiceError("FileCopy", destination, "Access is denied.", FailureCause::kHeld);
    }
    disk_.files[destination] = disk_.files.at(path_);
    disk_.files.erase(path_);
    moved_ = true;
  }
  void Discard() override {
    disk_.steps.push_back("Discard");
    if (!moved_) disk_.files.erase(path_);
  }

 private:
  void RequireClosedForWriting(const char* what) const {
    if (writable_) throw std::logic_error(std::string(what) + " while still open for writing");
  }

  MemoryDisk& disk_;
  std::string path_;
  bool moved_ = false;
  bool writable_ = true;
};

}  // namespace

void MemoryDisk::Step(const std::string& name, const std::string& path) {
  steps.push_back(name);
  if (name == failing_step) throw ServiceError("FileCopy", path, "injected failure");
  FailIfHeld(held_steps, name, "FileCopy", path);
}

void FailIfHeld(std::map<std::string, int>& held, const std::string& name,
                const std::string& operation, const std::string& path) {
  const auto count = held.find(name);
  if (count == held.end() || count->second <= 0) return;
  --count->second;
  throw ServiceError(operation, path, "The process cannot access the file.", FailureCause::kHeld);
}

int MemoryDisk::PausedMs() const {
  int paused = 0;
  for (const int pause : pauses) paused += pause;
  return paused;
}

ReplaceSteps::FileKind MemoryDisk::KindOf(const std::string& path) {
  Step("KindOf", path);
  const auto file = files.find(path);
  if (file == files.end()) return FileKind::kMissing;
  return file->second.folder ? FileKind::kOther : FileKind::kRegular;
}

std::optional<SubjectName> MemoryDisk::EmbeddedPublisher(const std::string& path) {
  Step("EmbeddedPublisher", path);
  const auto file = files.find(path);
  if (file == files.end()) throw ServiceError("FileCopy", path, "file not found");
  if (file->second.publisher.der.empty()) return std::nullopt;
  if (!file->second.signature_readable) throw ServiceError("FileCopy", path, kUnreadable);
  return file->second.publisher;
}

std::optional<SubjectName> MemoryDisk::PinningPublisher(const std::string& path) {
  Step("PinningPublisher", path);
  const auto file = files.find(path);
  if (file == files.end()) throw ServiceError("FileCopy", path, "file not found");
  if (file->second.publisher.der.empty() || !file->second.signature_readable) {
    return std::nullopt;
  }
  FakeSignedMessage message(SignatureOf(file->second, file->second.publisher));
  return PinningSigner(message);
}

std::unique_ptr<SourceFile> MemoryDisk::OpenSource(const std::string& path) {
  Step("OpenSource", path);
  if (files.count(path) == 0) throw ServiceError("FileCopy", path, "file not found");
  if (being_written.count(path) != 0) {
    throw ServiceError("FileCopy", path,
                       "The process cannot access the file because it is "
                       "being used by another process.");
  }
  return std::make_unique<MemorySource>(*this, path);
}

void MemoryDisk::RequireCreatable(const std::string& destination) const {
  const std::string folder = FolderOf(destination);
  const auto entry = files.find(folder);
  const bool known = entry != files.end() && entry->second.folder;
  if (folders_missing.count(folder) != 0 || (folders_must_exist && !known)) {
    throw ServiceError("FileCopy", destination, "The system cannot find the path specified.");
  }
  if (folders_locked.count(folder) != 0) {
    throw ServiceError("FileCopy", destination, "Access is denied.");
  }
}

void MemoryDisk::CheckCanCreateIn(const std::string& destination) {
  Step("CheckCanCreateIn", destination);
  RequireCreatable(destination);
}

std::unique_ptr<TemporaryCopy> MemoryDisk::CreateTemporary(const std::string& destination) {
  Step("CreateTemporary", destination);
  RequireCreatable(destination);
  const std::string folder = FolderOf(destination);
  const std::string path =
      folder + "\\" +
      TemporaryNameFor(FileNameOf(destination), static_cast<unsigned>(steps.size()));
  files[path] = {};
  ++temporaries_created;
  return std::make_unique<MemoryTemporary>(*this, path);
}

std::string MemoryDisk::VersionOf(const std::string& path) {
  Step("VersionOf", path);
  const auto file = files.find(path);
  return file == files.end() ? "" : file->second.version;
}

bool MemoryDisk::ClearReadOnly(const std::string& path) {
  Step("ClearReadOnly", path);
  const auto file = files.find(path);
  if (file == files.end() || !file->second.read_only) return false;
  file->second.read_only = false;
  return true;
}

void MemoryDisk::RestoreReadOnly(const std::string& path) {
  steps.push_back("RestoreReadOnly");
  files.at(path).read_only = true;
}

void MemoryDisk::Pause(int milliseconds) {
  pauses.push_back(milliseconds);
  if (while_paused) std::exchange(while_paused, nullptr)();
}

void MemoryDisk::RemoveStaleTemporaries(const std::string& copy_path) {
  Step("RemoveStaleTemporaries", copy_path);
}

std::vector<std::string> MemoryDisk::Temporaries() const {
  std::vector<std::string> found;
  for (const auto& [path, file] : files) {
    if (IsTemporaryNameFor(FileNameOf(path), "Norvik_Studio.exe")) found.push_back(path);
  }
  return found;
}

}  // namespace launcher
