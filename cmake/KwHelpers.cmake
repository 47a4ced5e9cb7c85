# Helpers shared by every folder's CMakeLists.txt.

# kw_add_test(<name> SOURCES <files...> LIBS <targets...>)
# A GoogleTest executable whose cases are registered with CTest one by one.
function(kw_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE KW_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# kw_add_fuzzer(<name> SOURCES <files...> LIBS <targets...>)
# A libFuzzer target, built only with KW_FUZZ. Its seed corpus lives in
# tests/fuzz/corpus/<name>/ and is replayed (not fuzzed) as a CTest test.
function(kw_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KW_FUZZ)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(corpus ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${name})
  add_test(NAME fuzz_replay_${name}
           COMMAND ${name} -runs=0 -rss_limit_mb=4096 ${corpus})
endfunction()

# kw_add_bench(<name> SOURCES <files...> LIBS <targets...>)
# A Google Benchmark executable; never part of the test run.
function(kw_add_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KW_BUILD_BENCH)
    return()
  endif()
  find_package(benchmark REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()

# kw_subdirs(<out-var>): the immediate sub-folders of the current source folder
# that have a CMakeLists.txt, sorted.
function(kw_subdirs out)
  file(GLOB entries LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT entries)
  set(dirs "")
  foreach(e ${entries})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${e} AND
       EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${e}/CMakeLists.txt)
      list(APPEND dirs ${e})
    endif()
  endforeach()
  set(${out} ${dirs} PARENT_SCOPE)
endfunction()

# kw_add_all_subdirs(): add every sub-folder that has a CMakeLists.txt.
macro(kw_add_all_subdirs)
  kw_subdirs(_kw_dirs)
  foreach(_kw_dir ${_kw_dirs})
    add_subdirectory(${_kw_dir})
  endforeach()
endmacro()
