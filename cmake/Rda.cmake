# Shared settings for every target of the project.

# rda_warnings(target): the warning set every target builds clean with.
function(rda_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                         -Wnull-dereference -Wimplicit-fallthrough)
  # GCC 12 at -O3 reports std::string assignments inside libstdc++ as overlapping
  # copies (GCC bug 105329, a false positive); the release build turns that one off.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE $<$<CONFIG:Release>:-Wno-restrict>)
  endif()
endfunction()

# rda_library(name SOURCES ... DEPS ...): one module of the library.
function(rda_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  rda_warnings(${name})
endfunction()

# rda_test(name SOURCES ... DEPS ...): a GoogleTest executable registered with ctest.
function(rda_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  rda_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()
