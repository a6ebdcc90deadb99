/* Keeps a file open for writing, as a copy still being written would be:
 *   hold_open FILE MARKER SECONDS
 * Opens FILE for writing, letting others only read it, and creates MARKER once the file is held;
 * ends when MARKER is removed, or after SECONDS at the latest. Exit status 1 with a message on
 * stderr when FILE or MARKER cannot be opened. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: hold_open FILE MARKER SECONDS\n");
    return 1;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_open: cannot open the file for writing (error %lu)\n", GetLastError());
    return 1;
  }
  HANDLE marker =
      CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_open: cannot create the marker (error %lu)\n", GetLastError());
    return 1;
  }
  CloseHandle(marker);
  for (int waited = 0; waited < _wtoi(argv[3]) * 10; ++waited) {
    if (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  CloseHandle(file);
  return 0;
}
