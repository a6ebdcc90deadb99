#define _CRT_RAND_S
#include "os/win32/win32_replace_steps.h"

#include <stdlib.h>
#include <windows.h>

#include <optional>
#include <vector>

#include "core/pe/pe_version_reader.h"
#include "core/replace/fresh_name.h"
#include "launch/services.h"
#include "os/win32/scoped_handle.h"
#include "os/win32/wide.h"
#include "os/win32/win32_error.h"
#include "os/win32/win32_file.h"
#include "os/win32/win32_signature.h"

namespace launcher {
namespace {

constexpr char kOperation[] = "FileCopy";
constexpr DWORD kCopyChunk = 1 << 20;

[[noreturn]] void Fail(const std::string& path, DWORD error) {
  throw Win32Error(kOperation, path, error);
}

// Marks the file open as `file` for removal when its last handle closes; whether it could.
bool MarkForRemoval(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}

std::uint64_t RandomNumber(const std::string& path) {
  unsigned int high = 0;
  unsigned int low = 0;
  if (rand_s(&high) != 0 || rand_s(&low) != 0) Fail(path, ERROR_GEN_FAILURE);
  return std::uint64_t{high} << 32 | low;
}

class Win32SourceFile : public SourceFile {
 public:
  Win32SourceFile(const std::string& path, bool refuse_links)
      : path_(path), file_(path, kOperation, Rules(refuse_links)) {}

  std::uint64_t Size() const override { return file_.Size(); }
  std::optional<std::uint64_t> ImageExtent() override { return PeImageExtent(file_); }
  Verification VerifiedPublisher() override {
    return VerifyEmbeddedSignature(path_, file_.handle(), kOperation);
  }
  // Nobody can have written, renamed or removed the file since it was opened: the share mode
  // denies it for as long as it is open.
  bool Unchanged() override { return true; }

  Win32File& file() { return file_; }

 private:
  static Win32OpenRules Rules(bool refuse_links) {
    Win32OpenRules rules;
    rules.share = FILE_SHARE_READ;
    rules.refuse_links = refuse_links;
    return rules;
  }

  std::string path_;
  Win32File file_;
};

// Written through the handle it was created with; checked, moved and discarded through a second
// one without write access (CloseForWriting).
class Win32TemporaryCopy : public TemporaryCopy {
 public:
  Win32TemporaryCopy(ScopedHandle handle, std::unique_ptr<Win32Folder> folder, std::string path)
      : folder_(std::move(folder)),
        handle_(std::move(handle)),
        path_(std::move(path)),
        name_(FileNameOf(path_)) {}

  void CopyFrom(SourceFile& source) override {
    auto* from = dynamic_cast<Win32SourceFile*>(&source);
    if (from == nullptr) throw ServiceError(kOperation, path_, "not a source of these steps");
    std::vector<char> buffer(kCopyChunk);
    for (std::uint64_t offset = 0;;) {
      const std::size_t got = from->file().ReadAt(offset, buffer.data(), buffer.size());
      if (got == 0) break;
      // Written at explicit offsets, as Version() reads, so the file pointer plays no part.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD written = 0;
      if (!WriteFile(handle_.get(), buffer.data(), static_cast<DWORD>(got), &written, &at)) {
        Fail(path_, GetLastError());
      }
      if (written != got) Fail(path_, ERROR_WRITE_FAULT);
      offset += got;
    }
    if (!FlushFileBuffers(handle_.get())) Fail(path_, GetLastError());
  }

  // A handle cannot give up write access, and a second one that denies writers cannot be opened
  // while the first is open: the writing handle is closed, then the file opened again by its name
  // in the same folder and required to be the same file (its file index on that volume). In between
  // others may open it (it inherits its folder's permissions); the checks that follow are made
  // through the new handle, which denies writers and deletion until the move.
  void CloseForWriting() override {
    if (!written_id_) {
      written_id_ = FileIndexOf(handle_.get(), path_, kOperation);
      handle_.reset();
    }
    DWORD error = 0;
    ScopedHandle reader =
        folder_->Open(name_, GENERIC_READ | DELETE, FILE_SHARE_READ, FILE_OPEN, &error);
    if (!reader.is_valid()) Fail(path_, error);
    if (FileIndexOf(reader.get(), path_, kOperation) != *written_id_) {
      replaced_ = true;
      throw ServiceError(kOperation, path_, "the copy was replaced by another file");
    }
    handle_ = std::move(reader);
  }

  std::uint64_t Size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_.get(), &size)) Fail(path_, GetLastError());
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  std::string Version() override {
    Win32HandleReader reader(handle_.get(), path_, kOperation);
    return ReadPeFileVersion(reader);
  }

  // Renamed within the folder it was created in, by the handle of that folder.
  void MoveOver(const std::string& destination) override {
    if (FolderOf(destination) != FolderOf(path_)) {
      throw ServiceError(kOperation, destination, "not in the folder of the copy");
    }
    const DWORD error = folder_->MoveInto(handle_.get(), FileNameOf(destination));
    if (error != 0) Fail(destination, error);
    moved_ = true;
    // The data were flushed before the rename; this asks for the file's record once more and
    // cannot undo the move, so its outcome changes nothing.
    FlushFileBuffers(handle_.get());
  }

  void Discard() override {
    if (moved_ || discarded_) return;
    discarded_ = true;
    bool marked = false;
    if (handle_.is_valid()) {
      marked = MarkForRemoval(handle_.get());
      handle_.reset();
    }
    // Also when CloseForWriting could not open the file again, unless another file took the
    // name: that one is not ours to remove. What cannot be removed now (a holder denies
    // deletion) is stale an hour later and removed by a later run.
    if (!marked && !replaced_) {
      DWORD error = 0;
      const ScopedHandle file = folder_->Open(
          name_, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, &error);
      if (file.is_valid()) MarkForRemoval(file.get());
    }
  }

 private:
  std::unique_ptr<Win32Folder> folder_;
  ScopedHandle handle_;  // after the folder, so that it is closed before the folder's handle
  std::string path_;
  std::string name_;
  std::optional<std::uint64_t> written_id_;  // set once the writing handle is closed
  bool moved_ = false;
  bool discarded_ = false;
  bool replaced_ = false;  // another file took this copy's name before it was reopened
};

}  // namespace

void Win32ReplaceSteps::RequireFolder(const std::string& path) const {
  if (held_.IsMissing(path)) throw ServiceError(kOperation, path, "the folder does not exist");
}

ReplaceSteps::FileKind Win32ReplaceSteps::KindOf(const std::string& path) {
  if (held_.IsMissing(path)) return FileKind::kMissing;
  const DWORD attributes = GetFileAttributesW(Wide(path, kOperation).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return FileKind::kMissing;
    Fail(path, error);
  }
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return FileKind::kOther;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && held_.Contains(path)) {
    return FileKind::kOther;
  }
  return FileKind::kRegular;
}

std::optional<SubjectName> Win32ReplaceSteps::EmbeddedPublisher(const std::string& path) {
  RequireFolder(path);
  return ReadEmbeddedSigner(path, kOperation, held_.Contains(path));
}

std::optional<SubjectName> Win32ReplaceSteps::PinningPublisher(const std::string& path) {
  RequireFolder(path);
  return ReadPinningSigner(path, kOperation, held_.Contains(path));
}

std::unique_ptr<SourceFile> Win32ReplaceSteps::OpenSource(const std::string& path) {
  RequireFolder(path);
  return std::make_unique<Win32SourceFile>(path, held_.Contains(path));
}

void Win32ReplaceSteps::CheckCanCreateIn(const std::string& destination) {
  RequireFolder(destination);
  const ScopedHandle folder(
      CreateFileW(Wide(FolderOf(destination), kOperation).c_str(), FILE_ADD_FILE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!folder.is_valid()) Fail(destination, GetLastError());
}

std::unique_ptr<Win32Folder> Win32ReplaceSteps::FolderFor(const std::string& path) const {
  RequireFolder(path);
  return std::make_unique<Win32Folder>(held_.Contains(path) ? held_.Handle() : nullptr,
                                       FolderOf(path), kOperation);
}

std::unique_ptr<TemporaryCopy> Win32ReplaceSteps::CreateTemporary(const std::string& destination) {
  std::unique_ptr<Win32Folder> folder = FolderFor(destination);
  ScopedHandle handle;
  const std::optional<std::string> name = CreateWithFreshName(
      destination, [&] { return RandomNumber(destination); },
      [&](const std::string& candidate) {
        // Deletion is ours (Discard, the rename); others may only read it while it is written.
        DWORD error = 0;
        handle = folder->Open(candidate, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                              FILE_CREATE, &error);
        if (handle.is_valid()) return CreateOutcome::kCreated;
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) Fail(destination, error);
        return CreateOutcome::kNameTaken;
      });
  if (!name) Fail(destination, ERROR_FILE_EXISTS);
  return std::make_unique<Win32TemporaryCopy>(std::move(handle), std::move(folder),
                                              FolderOf(destination) + "\\" + *name);
}

std::string Win32ReplaceSteps::VersionOf(const std::string& path) {
  if (held_.IsMissing(path)) return {};
  Win32OpenRules rules;
  rules.refuse_links = held_.Contains(path);
  const std::unique_ptr<Win32File> file = Win32File::OpenIfPresent(path, kOperation, rules);
  return file ? ReadPeFileVersion(*file) : std::string();
}

// The read-only mark is changed through a handle opened by the file's name in its folder.
bool Win32ReplaceSteps::ClearReadOnly(const std::string& path) {
  if (held_.IsMissing(path)) return false;
  return SetReadOnly(path, false);
}

void Win32ReplaceSteps::RestoreReadOnly(const std::string& path) {
  if (held_.IsMissing(path)) return;
  try {
    SetReadOnly(path, true);
  } catch (const ServiceError&) {
    // Nothing more can be done here; the move has failed already.
  }
}

bool Win32ReplaceSteps::SetReadOnly(const std::string& path, bool read_only) {
  DWORD error = 0;
  const ScopedHandle file = FolderFor(path)->Open(
      FileNameOf(path), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, &error);
  if (!file.is_valid()) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    Fail(path, error);
  }
  FILE_BASIC_INFO basic{};
  bool changed = false;
  if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic)) {
    error = GetLastError();
  } else if (((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) != read_only) {
    basic.FileAttributes ^= FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Times of zero leave the file's times as they are.
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    changed = SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic) != FALSE;
    if (!changed) error = GetLastError();
  }
  if (error != 0) Fail(path, error);
  return changed;
}

void Win32ReplaceSteps::Pause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace launcher
