# The Windows launcher: a GUI executable linked statically, so it needs no DLL beyond the
# system's own (kernel32, user32, msvcrt, and wintrust, crypt32 and bcrypt for signatures). The preset
# win32 builds the 32-bit deliverable; win64 builds the same for Wine's 64-bit half.
enable_language(RC)

add_library(os_win32 STATIC
  os/win32/wide.cc
  os/win32/win32_decoded_message.cc
  os/win32/win32_error.cc
  os/win32/win32_file.cc
  os/win32/win32_folder.cc
  os/win32/win32_held_folder.cc
  os/win32/win32_disk.cc
  os/win32/win32_services.cc
  os/win32/win32_disk_file.cc
  os/win32/win32_start_path.cc
  os/win32/win32_new_file.cc
  os/win32/win32_signature.cc
  os/win32/win32_timestamps.cc)
# Windows Vista and later: SetFileInformationByHandle renames and removes through a handle.
target_compile_definitions(os_win32 PRIVATE _WIN32_WINNT=0x0600 WINVER=0x0600)
target_link_libraries(os_win32 PUBLIC launch_logic wintrust crypt32 bcrypt ntdll)

# No time stamp in the PE header, so the same sources give the same bytes; the linker computes
# the header's checksum over them (tests/image checks both).
set(LAUNCHER_STATIC_LINK -static -static-libgcc -static-libstdc++ -s -Wl,--gc-sections
  -Wl,--no-insert-timestamp)

# The manifest names the processor the executable is built for.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(LAUNCHER_MANIFEST_ARCH amd64)
else()
  set(LAUNCHER_MANIFEST_ARCH x86)
endif()
configure_file(resources/launcher.manifest.in "${ICON_DIR}/launcher.manifest" @ONLY)

# The version record takes the project's version, all four fields; its texts keep the form they
# have always had, 1.00.0005 for 1.0.0.5 (the minor field to two digits, the fourth to four,
# the third left out).
if(PROJECT_VERSION_TWEAK STREQUAL "")
  message(FATAL_ERROR "project(VERSION) needs four fields, not ${PROJECT_VERSION}")
endif()
string(REGEX REPLACE "^0+([0-9][0-9]+)$" "\\1" version_minor "0${PROJECT_VERSION_MINOR}")
string(REGEX REPLACE "^0+([0-9][0-9][0-9][0-9]+)$" "\\1" version_tweak
  "000${PROJECT_VERSION_TWEAK}")
string(CONCAT version_h
  "#define LAUNCHER_VERSION ${PROJECT_VERSION_MAJOR}, ${PROJECT_VERSION_MINOR}, "
  "${PROJECT_VERSION_PATCH}, ${PROJECT_VERSION_TWEAK}\n"
  "#define LAUNCHER_VERSION_TEXT \"${PROJECT_VERSION_MAJOR}.${version_minor}.${version_tweak}\"\n")
file(CONFIGURE OUTPUT "${ICON_DIR}/launcher_version.h" CONTENT "${version_h}")
set_source_files_properties(resources/launcher.rc PROPERTIES
  OBJECT_DEPENDS "${ICON_FILE};${ICON_DIR}/launcher.manifest;${ICON_DIR}/launcher_version.h")

add_executable(launcher WIN32 apps/launcher_win32.cc resources/launcher.rc)
target_include_directories(launcher PRIVATE "${ICON_DIR}" "${PROJECT_SOURCE_DIR}/resources")
add_dependencies(launcher icon)
target_link_libraries(launcher PRIVATE os_win32 ${LAUNCHER_STATIC_LINK})

add_executable(revision-probe apps/revision_probe.cc os/win32/system_services_win32.cc)
target_link_libraries(revision-probe PRIVATE os_win32 shell32 ${LAUNCHER_STATIC_LINK})

set(MINGW_GCC "${CMAKE_C_COMPILER}")
set(MINGW_WINDRES "${CMAKE_RC_COMPILER}")
include(cmake/PeFixtures.cmake)

if(BUILD_TESTING)
  add_subdirectory(tests/e2e)
  add_subdirectory(tests/agreement)
  add_subdirectory(tests/image)
endif()
