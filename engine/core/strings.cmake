# Code pages, the string class, state bitmaps and sector lists of kwengine.
# Included from engine/core/CMakeLists.txt.

# The built-in code-page sections are generated from the readable tables in
# codepages/ by a small host tool.
add_executable(gen_cpblocks codepages/gen_cpblocks.cpp)
set(KW_CP_TABLE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/codepages)
set(KW_CP_OUT_DIR ${CMAKE_CURRENT_BINARY_DIR}/codepages)
set(KW_CP_SOURCES ${KW_CP_TABLE_DIR}/altforms-latin.txt ${KW_CP_TABLE_DIR}/cp850.txt
                  ${KW_CP_TABLE_DIR}/cp1252.txt)
add_custom_command(
  OUTPUT ${KW_CP_OUT_DIR}/cpblocks.cpp ${KW_CP_OUT_DIR}/sections.txt
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KW_CP_OUT_DIR}
  COMMAND gen_cpblocks ${KW_CP_OUT_DIR}/cpblocks.cpp ${KW_CP_OUT_DIR}
          "ALT_FORMS LATIN=${KW_CP_TABLE_DIR}/altforms-latin.txt"
          "CODEPAGE_INFO CP_DOS=${KW_CP_TABLE_DIR}/cp850.txt"
          "CODEPAGE_INFO CP_UNIX=${KW_CP_TABLE_DIR}/cp1252.txt"
          "CODEPAGE_INFO CP_WIN=@2"
  DEPENDS gen_cpblocks ${KW_CP_SOURCES}
  COMMENT "Generating the built-in code-page sections"
  VERBATIM)
add_custom_target(kw_cpblocks DEPENDS ${KW_CP_OUT_DIR}/cpblocks.cpp ${KW_CP_OUT_DIR}/sections.txt)
add_dependencies(kwengine kw_cpblocks)
# The manifest of section files, for the tool that assembles the resource file.
set(KW_CP_SECTION_MANIFEST ${KW_CP_OUT_DIR}/sections.txt CACHE INTERNAL "")

target_sources(kwengine PRIVATE
  ${KW_CP_OUT_DIR}/cpblocks.cpp
  casefold.cpp
  codepage.cpp
  cpconvert.cpp
  cpload.cpp
  kwstring.cpp
)
