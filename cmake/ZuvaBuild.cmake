# Compiler settings shared by every target of the project, and the helper that
# turns a subsystem folder into a library (every *.cpp but the *_test.cpp
# files and main.cpp) with a test executable beside it.

if(WIN32)
  set(ZUVA_WINDOWS ON)
else()
  set(ZUVA_WINDOWS OFF)
endif()

# Warnings stop the build in the presets and CI, where the compilers are
# known; a packager's plain configure, with another compiler release or its
# own flags (optimisation, sanitizers), gets the warnings and a finished build.
option(ZUVA_WARNINGS_AS_ERRORS "Stop the build on a compiler warning" OFF)
set(ZUVA_WERROR "")
if(ZUVA_WARNINGS_AS_ERRORS)
  set(ZUVA_WERROR -Werror)
endif()

add_library(zuva_options INTERFACE)
target_compile_options(zuva_options INTERFACE -Wall -Wextra -Wpedantic ${ZUVA_WERROR})
target_include_directories(zuva_options INTERFACE ${PROJECT_SOURCE_DIR})
if(ZUVA_WINDOWS)
  # Windows 7 API level; ANSI entry points are named explicitly.
  target_compile_definitions(zuva_options INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(zuva_options INTERFACE -static -static-libgcc -static-libstdc++)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # GCC 12 reports -Wrestrict inside std::string's own inline code at -O2
  # (a known false positive of that release); it says nothing about ours.
  target_compile_options(zuva_options INTERFACE -Wno-restrict)
endif()

if(ZUVA_SANITIZE)
  set(_zuva_san "-fsanitize=${ZUVA_SANITIZE}")
  target_compile_options(zuva_options INTERFACE ${_zuva_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(zuva_options INTERFACE ${_zuva_san})
endif()

find_package(Threads REQUIRED)

# zuva_subsystem(NAME <name> [DEPS <targets>...] [TEST_DEPS <targets>...])
# Library zuva_<name> from the folder's sources; test executable <name>_tests
# from its *_test.cpp files when tests are built.
function(zuva_subsystem)
  cmake_parse_arguments(ARG "" "NAME" "DEPS;TEST_DEPS;EXTRA_SOURCES" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  list(REMOVE_ITEM _sources ${_tests} ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
  list(APPEND _sources ${ARG_EXTRA_SOURCES})
  if(_sources)
    add_library(zuva_${ARG_NAME} STATIC ${_sources})
    target_link_libraries(zuva_${ARG_NAME} PUBLIC zuva_options ${ARG_DEPS})
  else()
    add_library(zuva_${ARG_NAME} INTERFACE)
    target_link_libraries(zuva_${ARG_NAME} INTERFACE zuva_options ${ARG_DEPS})
  endif()
  if(ZUVA_BUILD_TESTS AND _tests)
    zuva_add_gtest(${ARG_NAME}_tests SOURCES ${_tests} LIBS zuva_${ARG_NAME} ${ARG_TEST_DEPS})
  endif()
endfunction()
