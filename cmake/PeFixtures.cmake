# Real PE files with chosen version records, built by the mingw-w64 toolchain in both presets:
# the native tests read them, the Wine scenarios start them.
#
# add_pe_fixture(NAME [IMAGE64] [RECORD language:a,b,c,d]...)
#   language is a LANGID such as 0x0409; each RECORD adds one version record in that language.
#   IMAGE64 makes a 64-bit image holding only resources, with the x86-64 binutils.

set(PE_FIXTURE_DIR "${CMAKE_BINARY_DIR}/fixtures")
find_program(MINGW_CPP i686-w64-mingw32-cpp-win32 REQUIRED)
find_program(MINGW64_WINDRES x86_64-w64-mingw32-windres REQUIRED)
find_program(MINGW64_LD x86_64-w64-mingw32-ld REQUIRED)
file(MAKE_DIRECTORY "${PE_FIXTURE_DIR}")

function(add_pe_fixture name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "IMAGE64" "" "RECORD")
  set(rc "${PE_FIXTURE_DIR}/${name}.rc")
  set(rc_text "")
  foreach(record IN LISTS ARG_RECORD)
    string(REPLACE ":" ";" parts "${record}")
    list(GET parts 0 language)
    list(GET parts 1 version)
    math(EXPR primary "${language} & 0x3FF" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR sub "${language} >> 10" OUTPUT_FORMAT HEXADECIMAL)
    string(APPEND rc_text
      "LANGUAGE ${primary}, ${sub}\n"
      "1 VERSIONINFO\nFILEVERSION ${version}\nPRODUCTVERSION ${version}\n"
      "FILEFLAGSMASK 0x3F\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\n"
      "BEGIN\n  BLOCK \"VarFileInfo\"\n  BEGIN\n    VALUE \"Translation\", ${language}, 1200\n"
      "  END\nEND\n\n")
  endforeach()
  file(CONFIGURE OUTPUT "${rc}" CONTENT "${rc_text}")

  set(exe "${PE_FIXTURE_DIR}/${name}.exe")
  set(source "${PROJECT_SOURCE_DIR}/tests/fixtures/managed_program.c")
  set(objects "")
  if(ARG_IMAGE64)
    set(objects "${PE_FIXTURE_DIR}/${name}.res.o")
    add_custom_command(OUTPUT "${exe}"
      COMMAND "${MINGW64_WINDRES}" "--preprocessor=${MINGW_CPP}" --preprocessor-arg=-xc
              -i "${rc}" -o "${objects}"
      COMMAND "${MINGW64_LD}" --subsystem windows -e 0 -o "${exe}" "${objects}"
      DEPENDS "${rc}" VERBATIM)
    add_custom_target(fixture_${name} ALL DEPENDS "${exe}")
    return()
  endif()
  if(ARG_RECORD)
    set(objects "${PE_FIXTURE_DIR}/${name}.res.o")
    add_custom_command(OUTPUT "${objects}"
      COMMAND "${MINGW_WINDRES}" -i "${rc}" -o "${objects}"
      DEPENDS "${rc}" VERBATIM)
  endif()
  add_custom_command(OUTPUT "${exe}"
    COMMAND "${MINGW_GCC}" -O2 -s -mwindows -o "${exe}" "${source}" ${objects}
    DEPENDS "${source}" ${objects} VERBATIM)
  add_custom_target(fixture_${name} ALL DEPENDS "${exe}")
endfunction()

add_pe_fixture(managed_1_0_0_0 RECORD 0x0409:1,0,0,0)
add_pe_fixture(managed_1_0_0_4 RECORD 0x0409:1,0,0,4)
add_pe_fixture(managed_1_0_0_5 RECORD 0x0409:1,0,0,5)
add_pe_fixture(managed_1_0_0_6 RECORD 0x0409:1,0,0,6)
add_pe_fixture(managed_1_0_0_7 RECORD 0x0409:1,0,0,7)
add_pe_fixture(managed_1_0_0_9 RECORD 0x0409:1,0,0,9)
add_pe_fixture(managed_1_10_0_5 RECORD 0x0409:1,10,0,5)
add_pe_fixture(managed_2_3_4_40000 RECORD 0x0409:2,3,4,40000)
add_pe_fixture(managed_65535 RECORD 0x0409:65535,65535,65535,65535)
add_pe_fixture(managed_no_version)
add_pe_fixture(languages_neutral_german RECORD 0x0407:2,0,0,2 0x0000:1,0,0,1)
add_pe_fixture(languages_german_us RECORD 0x0407:2,0,0,2 0x0409:1,0,0,3)
add_pe_fixture(languages_us_neutral RECORD 0x0409:1,0,0,3 0x0000:1,0,0,1)
add_pe_fixture(languages_german_french RECORD 0x040C:3,0,0,3 0x0407:2,0,0,2)
add_pe_fixture(image64_1_0_0_7 IMAGE64 RECORD 0x0409:1,0,0,7)
add_pe_fixture(image64_languages IMAGE64 RECORD 0x040C:3,0,0,3 0x0009:4,0,0,4)
