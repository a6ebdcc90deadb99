#define _CRT_RAND_S
#include "platform/win32/win32_replace_steps.h"

#include <stdlib.h>
#include <windows.h>

#include <vector>

#include "platform/services.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file.h"

namespace launcher {
namespace {

constexpr DWORD kCopyChunk = 1 << 20;
constexpr int kNameAttempts = 16;
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;

[[noreturn]] void Fail(const std::string& path, DWORD error) {
  throw ServiceError("FileCopy", path, SystemErrorText(error));
}

std::uint64_t RandomNumber(const std::string& path) {
  unsigned int high = 0;
  unsigned int low = 0;
  if (rand_s(&high) != 0 || rand_s(&low) != 0) Fail(path, ERROR_GEN_FAILURE);
  return std::uint64_t{high} << 32 | low;
}

std::uint64_t Ticks(const FILETIME& time) {
  return std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
}

void CopyContents(Win32File& from, HANDLE to, const std::string& temporary) {
  std::vector<char> buffer(kCopyChunk);
  for (std::uint64_t offset = 0;;) {
    const std::size_t got = from.ReadAt(offset, buffer.data(), buffer.size());
    if (got == 0) return;
    DWORD written = 0;
    if (!WriteFile(to, buffer.data(), static_cast<DWORD>(got), &written, nullptr) ||
        written != got) {
      Fail(temporary, GetLastError());
    }
    offset += got;
  }
}

}  // namespace

void Win32ReplaceSteps::RemoveStaleTemporaries(const std::string& destination) {
  const std::string folder = FolderOf(destination);
  const std::string file_name = FileNameOf(destination);
  WIN32_FIND_DATAW found;
  HANDLE search;
  try {
    search =
        FindFirstFileW(Wide(folder + "\\~" + file_name + ".*.tmp", "FileCopy").c_str(), &found);
  } catch (const ServiceError&) {
    return;
  }
  if (search == INVALID_HANDLE_VALUE) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  do {
    const std::string name = Utf8(found.cFileName);
    const bool plain_file =
        (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    const bool stale = Ticks(now) - Ticks(found.ftLastWriteTime) >
                       kStaleTemporaryAgeSeconds * kFileTimeTicksPerSecond;
    if (plain_file && stale && IsTemporaryNameFor(name, file_name)) {
      DeleteFileW(Wide(folder + "\\" + name, "FileCopy").c_str());
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::string Win32ReplaceSteps::WriteTemporaryCopy(const std::string& source,
                                                  const std::string& destination) {
  Win32File from(source, "FileCopy");
  const std::string folder = FolderOf(destination);
  std::string temporary;
  std::wstring wide_temporary;
  HANDLE to = INVALID_HANDLE_VALUE;
  for (int attempt = 0; to == INVALID_HANDLE_VALUE && attempt < kNameAttempts; ++attempt) {
    temporary = folder + "\\" + TemporaryNameFor(FileNameOf(destination), RandomNumber(source));
    wide_temporary = Wide(temporary, "FileCopy");
    to = CreateFileW(wide_temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (to == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
      Fail(destination, GetLastError());
    }
  }
  if (to == INVALID_HANDLE_VALUE) Fail(destination, ERROR_FILE_EXISTS);

  try {
    CopyContents(from, to, temporary);
    if (!FlushFileBuffers(to)) Fail(temporary, GetLastError());
  } catch (...) {
    CloseHandle(to);
    DeleteFileW(wide_temporary.c_str());
    throw;
  }
  if (!CloseHandle(to)) {
    const DWORD error = GetLastError();
    DeleteFileW(wide_temporary.c_str());
    Fail(temporary, error);
  }
  return temporary;
}

bool Win32ReplaceSteps::ClearReadOnly(const std::string& path) {
  const std::wstring wide = Wide(path, "FileCopy");
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
  const std::wstring wide = Wide(path, "FileCopy");
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    SetFileAttributesW(wide.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
  }
}

void Win32ReplaceSteps::MoveOver(const std::string& from, const std::string& to) {
  if (!MoveFileExW(Wide(from, "FileCopy").c_str(), Wide(to, "FileCopy").c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    Fail(to, GetLastError());
  }
}

void Win32ReplaceSteps::RemoveQuietly(const std::string& path) {
  DeleteFileW(Wide(path, "FileCopy").c_str());
}

}  // namespace launcher
