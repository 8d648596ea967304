# GoogleTest: the machine's package natively; built from Debian's sources
# (/usr/src/googletest) when cross-compiling for Windows.
if(CMAKE_CROSSCOMPILING)
  if(NOT TARGET gtest_main)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(ZUVA_GTEST_MAIN gtest_main)
  set(ZUVA_GMOCK gmock)
else()
  find_package(GTest REQUIRED)
  set(ZUVA_GTEST_MAIN GTest::gtest_main)
  set(ZUVA_GMOCK GTest::gmock)
endif()
include(GoogleTest)

# zuva_add_gtest(<name> SOURCES <files>... [LIBS <targets>...])
function(zuva_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zuva_options ${ZUVA_GMOCK} ${ZUVA_GTEST_MAIN} Threads::Threads)
  # Parameterised cases keep their own names (or indexes), not a dump of the
  # parameter bytes.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES
                       PROPERTIES LABELS unit)
endfunction()
