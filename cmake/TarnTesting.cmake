# Test plumbing shared by every folder under tests/.
#
# Native builds use Debian's GoogleTest and register each TEST as its own CTest
# case. The Windows cross build compiles GoogleTest from Debian's sources and
# runs every test executable under Wine (CMAKE_CROSSCOMPILING_EMULATOR) with a
# private prefix inside the build tree.

if(CMAKE_CROSSCOMPILING)
  set(TARN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TARN_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

set(TARN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(TARN_MARIADB_DIR ${CMAKE_BINARY_DIR}/mariadb)

set(TARN_TEST_ENVIRONMENT
    TARN_TEST_MARIADB_DIR=${TARN_MARIADB_DIR}
    TARN_TEST_SOURCE_DIR=${PROJECT_SOURCE_DIR}
    TARN_TEST_BINARY_DIR=${CMAKE_BINARY_DIR})
if(CMAKE_CROSSCOMPILING)
  list(APPEND TARN_TEST_ENVIRONMENT WINEPREFIX=${TARN_WINEPREFIX} WINEDEBUG=-all)
  # Create the prefix once, before any test uses it.
  add_test(NAME wine_prefix_setup
           COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${TARN_WINEPREFIX} WINEDEBUG=-all
                   WINEDLLOVERRIDES=mscoree,mshtml= wineboot -i)
  set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
  add_test(NAME wine_prefix_teardown
           COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${TARN_WINEPREFIX} wineserver -w)
  set_tests_properties(wine_prefix_teardown PROPERTIES FIXTURES_CLEANUP wine_prefix TIMEOUT 120)
endif()

# A private MariaDB for the tests that need a database: started before the
# first of them and stopped after the last.
add_test(NAME mariadb_start COMMAND ${PROJECT_SOURCE_DIR}/scripts/mariadb start ${TARN_MARIADB_DIR})
set_tests_properties(mariadb_start PROPERTIES FIXTURES_SETUP mariadb TIMEOUT 180 RUN_SERIAL TRUE)
add_test(NAME mariadb_stop COMMAND ${PROJECT_SOURCE_DIR}/scripts/mariadb stop ${TARN_MARIADB_DIR})
set_tests_properties(mariadb_stop PROPERTIES FIXTURES_CLEANUP mariadb TIMEOUT 120)

# tarn_add_test(name SOURCES ... [LIBS ...] [NEEDS_DB] [THREADS] [TIMEOUT s])
# THREADS marks a program whose tests run several threads (or a program that
# does): the label "threads", which the thread-sanitizer run selects.
function(tarn_add_test name)
  cmake_parse_arguments(ARG "NEEDS_DB;THREADS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  set(labels "")
  if(ARG_THREADS)
    set(labels threads)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tarn_test_support GTest::gtest_main tarn_options)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(fixtures "")
  if(ARG_NEEDS_DB)
    set(fixtures mariadb)
  endif()
  if(CMAKE_CROSSCOMPILING)
    list(APPEND fixtures wine_prefix)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "${TARN_TEST_ENVIRONMENT}"
        FIXTURES_REQUIRED "${fixtures}"
        TIMEOUT ${ARG_TIMEOUT})
    if(labels)
      set_tests_properties(${name} PROPERTIES LABELS "${labels}")
    endif()
  else()
    set(props TIMEOUT ${ARG_TIMEOUT})
    if(fixtures)
      list(APPEND props FIXTURES_REQUIRED "${fixtures}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
    # ENVIRONMENT and LABELS are lists, and PROPERTIES would split them into
    # separate property arguments; set them on the discovered tests once
    # they are known.
    set(env_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
    file(CONFIGURE OUTPUT ${env_script} @ONLY CONTENT [==[
foreach(test_name IN LISTS @name@_TESTS)
  set_tests_properties("${test_name}" PROPERTIES ENVIRONMENT "@TARN_TEST_ENVIRONMENT@" LABELS "@labels@")
endforeach()
]==])
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_script})
  endif()
endfunction()
