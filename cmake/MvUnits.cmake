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

function(mv_test_suite folder)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  string(REPLACE "/" "_" base ${folder})
  file(GLOB_RECURSE tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_test.cpp)
  file(GLOB_RECURSE stress CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*_stress.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  if(tests)
    add_executable(${base}_tests ${tests} ${support})
    target_link_libraries(${base}_tests PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
    target_include_directories(${base}_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    gtest_discover_tests(${base}_tests
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
      PROPERTIES LABELS unit
      DISCOVERY_TIMEOUT 60)
  endif()
  if(stress)
    add_executable(${base}_stress ${stress} ${support})
    target_link_libraries(${base}_stress PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
    target_include_directories(${base}_stress PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    gtest_discover_tests(${base}_stress
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
      PROPERTIES LABELS stress
      DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
