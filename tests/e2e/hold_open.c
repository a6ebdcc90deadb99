/* Keeps a file open, as a copy still being written or a virus scanner would:
 *   hold_open FILE MARKER MILLISECONDS [write|read|exclusive]
 * "write" (the default) opens FILE for writing, letting others only read it; "read" opens it for
 * reading, letting others only read it, as a scanner looking at a program does; "exclusive" opens
 * it for reading, letting others do nothing with it. Creates MARKER
 * once the file is held; ends when MARKER is removed, or after MILLISECONDS at the latest. Exit
 * status 1 with a message on stderr when FILE or MARKER cannot be opened. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: hold_open FILE MARKER MILLISECONDS [write|read|exclusive]\n");
    return 1;
  }
  const int exclusive = argc == 5 && wcscmp(argv[4], L"exclusive") == 0;
  const int reading = exclusive || (argc == 5 && wcscmp(argv[4], L"read") == 0);
  HANDLE file = CreateFileW(argv[1], reading ? GENERIC_READ : GENERIC_WRITE,
                            exclusive ? 0 : FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_open: cannot open the file (error %lu)\n", GetLastError());
    return 1;
  }
  HANDLE marker =
      CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold_open: cannot create the marker (error %lu)\n", GetLastError());
    return 1;
  }
  CloseHandle(marker);
  const DWORD until = GetTickCount() + (DWORD)_wtoi(argv[3]);
  while ((LONG)(until - GetTickCount()) > 0 &&
         GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) {
    Sleep(10);
  }
  CloseHandle(file);
  return 0;
}
