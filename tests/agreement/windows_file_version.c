/* Prints the file version that the Windows version API reads from the file named by the only
 * argument: the fixed file info's version fields joined by ".", or nothing when the API gives
 * none. It reports what the API gives and judges nothing: neither the length VerQueryValueW
 * returns nor the signature is checked, only that the fields lie inside the buffer filled by
 * GetFileVersionInfoW, so that reading them is safe. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void) {
  int count = 0;
  wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == NULL || count != 2) return 2;
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(arguments[1], &handle);
  void *data = size > 0 ? malloc(size) : NULL;
  VS_FIXEDFILEINFO *fixed = NULL;
  UINT length = 0;
  const size_t fields_end = offsetof(VS_FIXEDFILEINFO, dwFileVersionLS) + sizeof(DWORD);
  const uintptr_t begin = (uintptr_t)data;
  if (data != NULL && GetFileVersionInfoW(arguments[1], 0, size, data) &&
      VerQueryValueW(data, L"\\", (void **)&fixed, &length) && (uintptr_t)fixed >= begin &&
      (uintptr_t)fixed - begin <= size && size - ((uintptr_t)fixed - begin) >= fields_end) {
    printf("%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS));
  } else {
    printf("\n");
  }
  return 0;
}
