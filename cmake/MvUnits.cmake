# Helpers that keep each subsystem's CMakeLists.txt to a few lines.
#
# A subsystem folder is one static library made of every .cpp in it (new units
# join by being added to the folder); its tests are one executable made of
# every *_test.cpp under tests/<folder>/, and files named *_stress.cpp form a
# second executable labelled "stress". Paths are taken from PROJECT_SOURCE_DIR
# so that the project also builds as another project's subdirectory.

function(mv_subsystem_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
endfunction()

# Test code is compiled for build speed, not run speed: it is parsed once
# through a precompiled header, optimised less than the libraries it tests
# (the libraries keep the tree's flags, sanitizers included), and carries line
# tables only (-g1: enough for the sanitizers' and debuggers' backtraces, and
# about 40% less compile time than full debug information). Most of a clean
# build's time went into test files otherwise.
set(MV_TEST_PCH <gtest/gtest.h> <algorithm> <atomic> <cstring> <functional> <map> <memory> <string>
    <thread> <vector> "${PROJECT_SOURCE_DIR}/foundation/errors/mvllExceptions.h")

function(mv_test_executable exe label srcs deps)
  add_executable(${exe} ${srcs})
  target_link_libraries(${exe} PRIVATE ${deps} GTest::gtest GTest::gtest_main)
  target_include_directories(${exe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  if(MV_SANITIZE)
    target_compile_options(${exe} PRIVATE -O0 -g1)
  else()
    target_compile_options(${exe} PRIVATE -O1 -g1)
  endif()
  target_precompile_headers(${exe} PRIVATE ${MV_TEST_PCH})
  if(MV_TEST_SHARDS GREATER 0 AND label STREQUAL "unit")
    # In the sanitizer trees a process start costs a good part of a second
    # (shadow memory), more than most tests take: there each executable runs
    # as a few shards of many tests each instead of one process per test.
    math(EXPR last "${MV_TEST_SHARDS} - 1")
    foreach(shard RANGE ${last})
      add_test(NAME ${exe}.shard${shard} COMMAND ${exe} --gtest_brief=1
               WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
      set_tests_properties(${exe}.shard${shard} PROPERTIES LABELS ${label}
        ENVIRONMENT "GTEST_TOTAL_SHARDS=${MV_TEST_SHARDS};GTEST_SHARD_INDEX=${shard}")
    endforeach()
  else()
    gtest_discover_tests(${exe}
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
      PROPERTIES LABELS ${label}
      DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

function(mv_test_suite folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  string(REPLACE "/" "_" base ${folder})
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp)
  file(GLOB_RECURSE stress CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_stress.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  if(tests)
    mv_test_executable(${base}_tests unit "${tests};${support}" "${ARG_DEPS}")
  endif()
  if(stress)
    mv_test_executable(${base}_stress stress "${stress};${support}" "${ARG_DEPS}")
    # One target builds the libraries and every stress executable (the
    # ThreadSanitizer tree builds nothing else).
    if(NOT TARGET mv_stress)
      add_custom_target(mv_stress)
    endif()
    add_dependencies(mv_stress ${base}_stress)
  endif()
endfunction()
