#include "os/win32/win32_new_file.h"

#include "os/win32/win32_error.h"
#include "os/win32/win32_file.h"

namespace launcher {
namespace {

// Marks the file open as `file` for removal when its last handle closes; whether it could.
bool MarkForRemoval(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         FALSE;
}

}  // namespace

Win32NewFile::Win32NewFile(ScopedHandle handle, std::unique_ptr<Win32Folder> folder,
                           std::string path, const char* operation)
    : folder_(std::move(folder)),
      handle_(std::move(handle)),
      path_(std::move(path)),
      name_(FileNameOf(path_)),
      operation_(operation) {}

void Win32NewFile::Fail(const std::string& path, DWORD error) const {
  throw Win32Error(operation_, path, error);
}

void Win32NewFile::WriteAt(std::uint64_t offset, const void* data, std::size_t length) {
  // Written at explicit offsets, as ReadAt reads, so the file pointer plays no part.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD written = 0;
  if (!WriteFile(handle_.get(), data, static_cast<DWORD>(length), &written, &at)) {
    Fail(path_, GetLastError());
  }
  if (written != length) Fail(path_, ERROR_WRITE_FAULT);
}

void Win32NewFile::Finish(std::uint32_t /*permissions*/) {
  if (!FlushFileBuffers(handle_.get())) Fail(path_, GetLastError());
}

// A handle cannot give up write access, and a second one that denies writers cannot be opened
// while the first is open: the writing handle is closed, then the file opened again by its name
// in the same folder and required to be the same file (its file index on that volume). In between
// others may open it (it inherits its folder's permissions); the checks that follow are made
// through the new handle, which denies writers and deletion until the move.
void Win32NewFile::CloseForWriting() {
  if (!written_id_) {
    written_id_ = FileIndexOf(handle_.get(), path_, operation_);
    handle_.reset();
  }
  DWORD error = 0;
  ScopedHandle reader =
      folder_->Open(name_, GENERIC_READ | DELETE, FILE_SHARE_READ, FILE_OPEN, &error);
  if (!reader.is_valid()) Fail(path_, error);
  if (FileIndexOf(reader.get(), path_, operation_) != *written_id_) {
    replaced_ = true;
    throw ServiceError(operation_, path_, "the copy was replaced by another file");
  }
  handle_ = std::move(reader);
}

std::uint64_t Win32NewFile::Size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(handle_.get(), &size)) Fail(path_, GetLastError());
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t Win32NewFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  return Win32HandleReader(handle_.get(), path_, operation_).ReadAt(offset, buffer, length);
}

void Win32NewFile::MoveOver(const std::string& destination) {
  if (FolderOf(destination) != FolderOf(path_)) {
    throw ServiceError(operation_, destination, "not in the folder of the copy");
  }
  const DWORD error = folder_->MoveInto(handle_.get(), FileNameOf(destination));
  if (error != 0) Fail(destination, error);
  moved_ = true;
  // The data were flushed before the rename; this asks for the file's record once more and
  // cannot undo the move, so its outcome changes nothing.
  FlushFileBuffers(handle_.get());
}

void Win32NewFile::Discard() {
  if (moved_ || discarded_) return;
  discarded_ = true;
  bool marked = false;
  if (handle_.is_valid()) {
    marked = MarkForRemoval(handle_.get());
    handle_.reset();
  }
  // Also when CloseForWriting could not open the file again, unless another file took the
  // name: that one is not ours to remove. What cannot be removed now (a holder denies
  // deletion) is removed by a later run, once its grace has passed and nobody holds it.
  if (!marked && !replaced_) {
    DWORD error = 0;
    const ScopedHandle file = folder_->Open(
        name_, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, &error);
    if (file.is_valid()) MarkForRemoval(file.get());
  }
}

}  // namespace launcher
