/* Prints the file version that the Windows version API reads from the file named by the only
 * argument: the fixed file info's four fields joined by ".", or nothing when the API gives none. */
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
  if (data != NULL && GetFileVersionInfoW(arguments[1], 0, size, data) &&
      VerQueryValueW(data, L"\\", (void **)&fixed, &length) && length >= sizeof *fixed &&
      fixed->dwSignature == 0xFEEF04BD) {
    printf("%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
           (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
           (unsigned)LOWORD(fixed->dwFileVersionLS));
  } else {
    printf("\n");
  }
  return 0;
}
