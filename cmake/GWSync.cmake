# Helpers for the project's targets, so that every library, program and test
# gets the same output folder, search path and visibility rules.
#
#   gw_library(log SHARED SOURCES a.cpp LIBS platform)
#   gw_program(logtext-register SOURCES register.cpp LIBS platform)
#   gw_test(log_test SOURCES tests/trace_test.cpp LIBS log LABELS unit)

include_guard(GLOBAL)

# gw_library(<name> SHARED|STATIC SOURCES ... [LIBS ...])
# Shared libraries hide everything but what their headers mark as exported.
function(gw_library name kind)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} ${kind} ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN")
  if(ARG_LIBS)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  endif()
  if(kind STREQUAL "SHARED")
    # A conduit or plug-in with an unresolved symbol must fail at link time,
    # not when the HotSync run loads it.
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# gw_program(<name> SOURCES ... [LIBS ...])
function(gw_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES BUILD_RPATH "$ORIGIN/../lib")
  if(ARG_LIBS)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  endif()
endfunction()

# gw_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [DEPENDS ...])
# Test programs go to build/tests; each test case runs as its own process so
# that environment changes (registry file, log file) never leak between cases.
# DEPENDS names targets the test loads at run time rather than links.
function(gw_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    BUILD_RPATH "$ORIGIN/../lib")
  target_compile_definitions(${name} PRIVATE
    GWSYNC_TEST_LIBDIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}"
    GWSYNC_TEST_BINDIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT 120
    # A test that forgets its own registry file still never reaches the user's.
    ENVIRONMENT "XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/test-config")
  # Labels are set once the cases are known: a list of labels does not survive
  # the discovery script's PROPERTIES.
  set(label_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
  file(WRITE "${label_script}"
    "if(${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${label_script}")
endfunction()

# gw_fuzz(<name> FUZZER <source> TEST <source> LIBS ...)
# A parser of untrusted input gets a libFuzzer program <name> (configure with
# CXX=clang++ -DGWSYNC_FUZZ=ON) and, in every build, the test <name>_test that
# runs the same entry point over seeded mutations.
function(gw_fuzz name)
  cmake_parse_arguments(ARG "" "FUZZER;TEST" "LIBS" ${ARGN})
  gw_test(${name}_test SOURCES ${ARG_TEST} ${ARG_FUZZER} LIBS ${ARG_LIBS} LABELS unit fault)
  # Both may reach private classes of a library whose members are hidden.
  set_target_properties(${name}_test PROPERTIES CXX_VISIBILITY_PRESET hidden)
  if(GWSYNC_FUZZ)
    add_executable(${name} ${ARG_FUZZER})
    set_target_properties(${name} PROPERTIES CXX_VISIBILITY_PRESET hidden)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  endif()
endfunction()

# gw_link_alone_test(<library> <source>)
# A program of someone else's compiles <source> with only the repository root
# on its include path and links -l<library> alone.
function(gw_link_alone_test library source)
  set(sanitize "")
  if(GWSYNC_SANITIZE)
    set(sanitize -fsanitize=address,undefined)
  endif()
  add_test(NAME ${library}.LinksWith${library}Alone
    COMMAND sh -c "\"$0\" -std=c++20 $1 -I\"$2\" \"$3\" -L\"$4\" -l$5 -Wl,-rpath,\"$4\" -o \"$6\" && \"$6\""
            ${CMAKE_CXX_COMPILER} "${sanitize}" ${PROJECT_SOURCE_DIR} ${source}
            $<TARGET_FILE_DIR:${library}> ${library} ${CMAKE_BINARY_DIR}/tests/${library}_link_alone)
  set_tests_properties(${library}.LinksWith${library}Alone PROPERTIES LABELS unit)
endfunction()

# Version information. Every library and program carries its version in an
# ELF note (section ".note.gwsync.version", read by platform/version.h), so
# that it can be read from the file without loading it. The four numbers are
# major.minor from project(VERSION), build-major = the project's patch number
# and build-minor = GWSYNC_BUILD_NUMBER (a CI run sets its run number; local
# builds keep 0).
set(GWSYNC_BUILD_NUMBER 0 CACHE STRING "Build-minor number written into every file's version note (0 to 32767)")

# GWSYNC_VERSION_MS and GWSYNC_VERSION_LS: the two packed words, for
# targets (tests) that need to know what their files carry.
block(SCOPE_FOR VARIABLES PROPAGATE GWSYNC_VERSION_MS GWSYNC_VERSION_LS)
  set(major ${PROJECT_VERSION_MAJOR})
  set(minor ${PROJECT_VERSION_MINOR})
  set(buildMajor 0)
  if(PROJECT_VERSION_PATCH)
    set(buildMajor ${PROJECT_VERSION_PATCH})
  endif()
  set(buildMinor ${GWSYNC_BUILD_NUMBER})
  foreach(n IN ITEMS major minor buildMajor buildMinor)
    if(NOT ${n} MATCHES "^[0-9]+$" OR ${n} GREATER 65535)
      message(FATAL_ERROR "version number ${n}=${${n}} is not a number from 0 to 65535")
    endif()
  endforeach()
  math(EXPR GWSYNC_VERSION_MS "(${major} << 16) | ${minor}" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR GWSYNC_VERSION_LS "(${buildMajor} << 16) | ${buildMinor}" OUTPUT_FORMAT HEXADECIMAL)
endblock()

# gw_version_notes()
# Called once at the end of the top-level CMakeLists: adds the version note
# to every shared library, module and program defined so far, whoever
# defined it.
function(gw_version_notes)
  set(ms ${GWSYNC_VERSION_MS})
  set(ls ${GWSYNC_VERSION_LS})
  set(source "${CMAKE_BINARY_DIR}/generated/gwsync_version_note.cpp")
  file(CONFIGURE OUTPUT "${source}" CONTENT [[
// Generated by cmake/GWSync.cmake: the version note of every file of the build.
#include <cstdint>

namespace {

struct VersionNote {
  uint32_t nameSize, descSize, type;
  char name[8];
  uint32_t desc[6];  // VS_FIXEDFILEINFO: signature, structure version, file MS/LS, product MS/LS
};

__attribute__((section(".note.gwsync.version"), used, aligned(4)))
const VersionNote gwsyncVersionNote = {7, 24, 1, "GWSync",
                                       {0xFEEF04BDu, 0x00010000u, @ms@u, @ls@u, @ms@u, @ls@u}};

}  // namespace
]] @ONLY)
  add_library(gwsync_version_note OBJECT "${source}")

  set(dirs "${PROJECT_SOURCE_DIR}")
  while(dirs)
    list(POP_FRONT dirs dir)
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    list(APPEND dirs ${subdirs})
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    foreach(t IN LISTS targets)
      get_target_property(type ${t} TYPE)
      if(type MATCHES "^(SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
        target_sources(${t} PRIVATE $<TARGET_OBJECTS:gwsync_version_note>)
      endif()
    endforeach()
  endwhile()
endfunction()
