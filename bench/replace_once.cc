// replace_once SOURCE DESTINATION: one crash-safe replacement, as the launcher makes it.
#include <cstdio>

#include "platform/posix/posix_services.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  try {
    launcher::PosixServices("/").FileCopy(argv[1], argv[2]);
  } catch (const launcher::ServiceError& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
  return 0;
}
