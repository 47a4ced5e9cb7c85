# Code pages, the string class, state bitmaps and sector lists of kwengine.
# Included from engine/core/CMakeLists.txt before the resource image is made.

# The code-page and alternate-form sections of the resource image are
# generated from the readable tables in codepages/ by a small host tool; the
# section list (texts/sections.txt) names the blocks through KW_CP_OUT_DIR.
add_executable(gen_cpblocks codepages/gen_cpblocks.cpp)
target_include_directories(gen_cpblocks PRIVATE ${PROJECT_SOURCE_DIR})
set(KW_CP_OUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/codepages)
set(kw_cp_tables ${CMAKE_CURRENT_SOURCE_DIR}/codepages)
set(KW_CP_BLOCKS ${KW_CP_OUT_DIR}/altforms-latin.bin ${KW_CP_OUT_DIR}/cp850.bin
                 ${KW_CP_OUT_DIR}/cp1252.bin)
file(MAKE_DIRECTORY ${KW_CP_OUT_DIR})
add_custom_command(
  OUTPUT ${KW_CP_BLOCKS}
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:gen_cpblocks>
          ${kw_cp_tables}/altforms-latin.txt ${KW_CP_OUT_DIR}/altforms-latin.bin
          ${kw_cp_tables}/cp850.txt ${KW_CP_OUT_DIR}/cp850.bin
          ${kw_cp_tables}/cp1252.txt ${KW_CP_OUT_DIR}/cp1252.bin
  DEPENDS gen_cpblocks ${kw_cp_tables}/altforms-latin.txt ${kw_cp_tables}/cp850.txt
          ${kw_cp_tables}/cp1252.txt
  COMMENT "Generating the code-page sections"
  VERBATIM)

target_sources(kwengine PRIVATE
  casefold.cpp
  codepage.cpp
  cpconvert.cpp
  cpload.cpp
  cpresource.cpp
  kwstring.cpp
  sectlist.cpp
  statemap.cpp
)
