# The POSIX port: the same logic over POSIX services. Drive C: is a folder fixed at build time.
set(LAUNCHER_POSIX_DRIVE_C "/var/lib/norvik/drive_c" CACHE PATH
  "Folder that stands for drive C: in the POSIX launcher")

add_library(os_posix STATIC
  os/posix/posix_disk.cc
  os/posix/posix_file.cc
  os/posix/posix_folder.cc
  os/posix/posix_services.cc)
target_link_libraries(os_posix PUBLIC launch_logic)

# A program over the system's services with drive C: at `drive`.
function(add_posix_program name drive)
  add_executable(${name} ${ARGN} os/posix/system_services_posix.cc)
  target_compile_definitions(${name} PRIVATE LAUNCHER_DRIVE_C_ROOT="${drive}")
  target_link_libraries(${name} PRIVATE os_posix)
  # Linked statically: loading libstdc++ at every start would cost more than the whole run.
  if(NOT LAUNCHER_SANITIZE)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()

add_posix_program(launcher "${LAUNCHER_POSIX_DRIVE_C}" apps/launcher_posix.cc)
add_posix_program(revision-probe "${LAUNCHER_POSIX_DRIVE_C}" apps/revision_probe.cc)

if(BUILD_TESTING)
  # The tests' own launcher, with drive C: inside the build folder.
  set(TEST_DRIVE_C "${CMAKE_BINARY_DIR}/test-drive-c")
  add_posix_program(launcher-testdrive "${TEST_DRIVE_C}" apps/launcher_posix.cc)

  find_program(MINGW_GCC i686-w64-mingw32-gcc-win32)
  find_program(MINGW_WINDRES i686-w64-mingw32-windres)
  if(NOT MINGW_GCC OR NOT MINGW_WINDRES)
    message(FATAL_ERROR "The tests read real PE files built with mingw-w64; run scripts/setup.sh")
  endif()
  include(cmake/PeFixtures.cmake)

  find_package(GTest REQUIRED)
  add_executable(launcher_tests
    launch/copy_reconciliation_test.cc
    launch/reconciliation_plan_test.cc
    launch/launch_sequence_test.cc
    launch/copy_revision_test.cc
    core/signature/distinguished_name_test.cc
    core/hold_retry_test.cc
    core/pe/icon_file_test.cc
    core/pe/pe_image_layout_test.cc
    core/pe/pe_version_reader_test.cc
    core/replace/disk_replace_steps_test.cc
    core/replace/fresh_name_test.cc
    core/replace/replace_file_test.cc
    core/signature/signature_rules_test.cc
    core/signature/signer_info_test.cc
    os/posix/posix_disk_test.cc
    os/posix/posix_services_test.cc
    os/posix/posix_services_test_drive.cc
    tests/fake_services.cc
    tests/fake_services_test_drive.cc
    tests/memory_disk.cc
    tests/services_conformance_test.cc
    tests/fuzz/regressions_test.cc)
  target_compile_definitions(launcher_tests PRIVATE
    FIXTURE_DIR="${PE_FIXTURE_DIR}"
    ICON_FILE="${ICON_FILE}"
    REGRESSION_DIR="${PROJECT_SOURCE_DIR}/tests/fuzz/regressions")
  target_link_libraries(launcher_tests PRIVATE os_posix GTest::gtest_main)
  include(GoogleTest)
  gtest_discover_tests(launcher_tests)

  add_subdirectory(tests/native)
  add_subdirectory(bench)

  # libFuzzer comes with clang; the sanitizer preset builds the fuzzer and runs it briefly.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # The reader is compiled into the target itself so that it carries the coverage feedback.
    add_executable(pe_version_reader_fuzzer tests/fuzz/pe_version_reader_fuzzer.cc
      core/pe/pe_image_layout.cc core/pe/pe_version_reader.cc core/service_error.cc
      core/signature/der_time.cc core/signature/digest_algorithm.cc
      core/signature/distinguished_name.cc core/signature/timestamp_rules.cc
      core/signature/chain_status.cc)
    target_include_directories(pe_version_reader_fuzzer PRIVATE "${PROJECT_SOURCE_DIR}")
    target_compile_options(pe_version_reader_fuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(pe_version_reader_fuzzer PRIVATE -fsanitize=fuzzer)
    set(LAUNCHER_FUZZ_SECONDS 60 CACHE STRING "How long the fuzzer runs in the test suite")
    add_test(NAME fuzz.pe_version_reader
      COMMAND bash "${PROJECT_SOURCE_DIR}/tests/fuzz/run_fuzzer.sh" "${CMAKE_BINARY_DIR}"
              ${LAUNCHER_FUZZ_SECONDS})
    set_tests_properties(fuzz.pe_version_reader PROPERTIES TIMEOUT 600)
  endif()
endif()
