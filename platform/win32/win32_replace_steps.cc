#define _CRT_RAND_S
#include "platform/win32/win32_replace_steps.h"

#include <stdlib.h>
#include <windows.h>

#include <cstring>
#include <optional>
#include <vector>

#include "platform/pe_version_reader.h"
#include "platform/services.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file.h"
#include "platform/win32/win32_signature.h"

namespace launcher {
namespace {

constexpr char kOperation[] = "FileCopy";
constexpr DWORD kCopyChunk = 1 << 20;
constexpr int kNameAttempts = 16;

[[noreturn]] void Fail(const std::string& path, DWORD error) {
  throw ServiceError(kOperation, path, SystemErrorText(error), CauseOf(error));
}

struct FileId {
  DWORD volume;
  DWORD high;
  DWORD low;
  bool operator==(const FileId& other) const {
    return volume == other.volume && high == other.high && low == other.low;
  }
};

FileId FileIdOf(HANDLE handle, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) Fail(path, GetLastError());
  return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
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
  Win32TemporaryCopy(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  ~Win32TemporaryCopy() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Win32TemporaryCopy(const Win32TemporaryCopy&) = delete;
  Win32TemporaryCopy& operator=(const Win32TemporaryCopy&) = delete;

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
      if (!WriteFile(handle_, buffer.data(), static_cast<DWORD>(got), &written, &at)) {
        Fail(path_, GetLastError());
      }
      if (written != got) Fail(path_, ERROR_WRITE_FAULT);
      offset += got;
    }
    if (!FlushFileBuffers(handle_)) Fail(path_, GetLastError());
  }

  // A handle cannot give up write access, and a second one that denies writers cannot be opened
  // while the first is open: the writing handle is closed, then the file opened again by name
  // and required to be the same file (volume and file index). In between others may open it
  // (it inherits its folder's permissions); the checks that follow are made through the new
  // handle, which denies writers and deletion until the move.
  void CloseForWriting() override {
    if (!written_id_) {
      written_id_ = FileIdOf(handle_, path_);
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
    const HANDLE reader =
        CreateFileW(Wide(path_, kOperation).c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (reader == INVALID_HANDLE_VALUE) Fail(path_, GetLastError());
    try {
      if (!(FileIdOf(reader, path_) == *written_id_)) {
        replaced_ = true;
        throw ServiceError(kOperation, path_, "the copy was replaced by another file");
      }
    } catch (...) {
      CloseHandle(reader);
      throw;
    }
    handle_ = reader;
  }

  std::uint64_t Size() override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle_, &size)) Fail(path_, GetLastError());
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  std::string Version() override {
    Win32HandleReader reader(handle_, path_, kOperation);
    return ReadPeFileVersion(reader);
  }

  void MoveOver(const std::string& destination) override {
    const std::wstring name = Wide(destination, kOperation);
    const std::size_t name_bytes = name.size() * sizeof(wchar_t);
    // The name is given whole and also ends in a null, which Wine relies on.
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(rename->FileName, name.c_str(), name_bytes + sizeof(wchar_t));
    if (!SetFileInformationByHandle(handle_, FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
      Fail(destination, GetLastError());
    }
    moved_ = true;
    // The data were flushed before the rename; this asks for the file's record once more and
    // cannot undo the move, so its outcome changes nothing.
    FlushFileBuffers(handle_);
  }

  void Discard() override {
    if (moved_ || discarded_) return;
    discarded_ = true;
    bool marked = false;
    if (handle_ != INVALID_HANDLE_VALUE) {
      FILE_DISPOSITION_INFO disposition{};
      disposition.DeleteFile = TRUE;
      marked = SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition,
                                          sizeof disposition) != FALSE;
      CloseHandle(handle_);
      handle_ = INVALID_HANDLE_VALUE;
    }
    // Also when CloseForWriting could not open the file again, unless another file took the
    // name: that one is not ours to remove. What cannot be removed now (a holder denies
    // deletion) is stale an hour later and removed by a later run.
    if (!marked && !replaced_) {
      try {
        DeleteFileW(Wide(path_, kOperation).c_str());
      } catch (const ServiceError&) {
        // The name was made from valid text; nothing more can be done here.
      }
    }
  }

 private:
  HANDLE handle_;
  std::string path_;
  std::optional<FileId> written_id_;  // set once the writing handle is closed
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

std::optional<std::string> Win32ReplaceSteps::EmbeddedPublisher(const std::string& path) {
  RequireFolder(path);
  return ReadEmbeddedSigner(path, kOperation, held_.Contains(path));
}

std::unique_ptr<SourceFile> Win32ReplaceSteps::OpenSource(const std::string& path) {
  RequireFolder(path);
  return std::make_unique<Win32SourceFile>(path, held_.Contains(path));
}

void Win32ReplaceSteps::CheckCanCreateIn(const std::string& destination) {
  RequireFolder(destination);
  const HANDLE folder =
      CreateFileW(Wide(FolderOf(destination), kOperation).c_str(), FILE_ADD_FILE | SYNCHRONIZE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) Fail(destination, GetLastError());
  CloseHandle(folder);
}

std::unique_ptr<TemporaryCopy> Win32ReplaceSteps::CreateTemporary(const std::string& destination) {
  RequireFolder(destination);
  const std::string folder = FolderOf(destination);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string temporary =
        folder + "\\" + TemporaryNameFor(FileNameOf(destination), RandomNumber(destination));
    // Deletion is ours (Discard, the rename); others may only read it while it is written.
    const HANDLE handle =
        CreateFileW(Wide(temporary, kOperation).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      return std::make_unique<Win32TemporaryCopy>(handle, std::move(temporary));
    }
    if (GetLastError() != ERROR_FILE_EXISTS) Fail(destination, GetLastError());
  }
  Fail(destination, ERROR_FILE_EXISTS);
}

std::string Win32ReplaceSteps::VersionOf(const std::string& path) {
  if (held_.IsMissing(path)) return {};
  Win32OpenRules rules;
  rules.refuse_links = held_.Contains(path);
  const std::unique_ptr<Win32File> file = Win32File::OpenIfPresent(path, kOperation, rules);
  return file ? ReadPeFileVersion(*file) : std::string();
}

bool Win32ReplaceSteps::ClearReadOnly(const std::string& path) {
  if (held_.IsMissing(path)) return false;
  const std::wstring wide = Wide(path, kOperation);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  if (!SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    Fail(path, GetLastError());
  }
  return true;
}

void Win32ReplaceSteps::RestoreReadOnly(const std::string& path) {
  if (held_.IsMissing(path)) return;
  try {
    const std::wstring wide = Wide(path, kOperation);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      SetFileAttributesW(wide.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
    }
  } catch (const ServiceError&) {
    // ClearReadOnly took the same text, so this cannot happen.
  }
}

void Win32ReplaceSteps::Pause(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

}  // namespace launcher
