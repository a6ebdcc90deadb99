#pragma once

#include <windows.h>

#include "os/win32/scoped_resource.h"

namespace launcher {

// A kernel handle closed with CloseHandle. Functions differ in what they return for no handle
// (CreateFileW INVALID_HANDLE_VALUE, others nullptr), so neither counts as one.
struct HandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static bool IsValid(Value handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void Close(Value handle) { CloseHandle(handle); }
};
using ScopedHandle = ScopedResource<HandleTraits>;

// A search of FindFirstFileW, ended with FindClose.
struct FindTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value search) { return search != INVALID_HANDLE_VALUE; }
  static void Close(Value search) { FindClose(search); }
};
using ScopedFind = ScopedResource<FindTraits>;

}  // namespace launcher
