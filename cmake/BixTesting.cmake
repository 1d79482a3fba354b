# Test helpers shared by every deliverable's CMakeLists.
#
# Every ctest entry carries two labels: its tool (helper, safe-path, bridge, hatch) and its kind
# (unit, threads, blackbox, fuzz), so `ctest -L bridge`, `ctest -L threads` or
# `ctest -L blackbox -LE hatch` pick a slice of the suite.
find_package(GTest REQUIRED)
include(GoogleTest)

set(BIX_TEST_TOOLS helper safe-path bridge hatch)
set(BIX_TEST_KINDS unit threads blackbox fuzz)
# Every "threads" test executable: the tsan preset runs only those, so it builds only this target.
add_custom_target(bix_threads_tests)

# Listing a test executable's cases runs it once before ctest schedules its cases; a sanitizer build
# on a loaded machine can take many seconds just to start.
set(BIX_GTEST_DISCOVERY_TIMEOUT 120 CACHE STRING "Seconds allowed for listing a test executable's cases")

# Test code is compiled for a quick build. The code under test keeps its preset's flags (its
# optimisation, sanitizers and hardening); only the tests' own sources are built unoptimised
# (without source fortification, which needs optimisation), with line tables as the only debug
# information where the preset has any (all a sanitizer's report needs). Each test target is
# compiled as one unity source, so GoogleTest's headers are read once per target rather than once
# per file (about half the tests' compile time); names at file scope in test files must therefore
# differ between the files of one target. (Precompiling GoogleTest's headers per target cost more
# than it saved: gmock.h takes 6 to 13 s to precompile, and most targets have only a few files.)
function(_bix_quick_test_code target)
  target_compile_options(${target} PRIVATE -O0 -U_FORTIFY_SOURCE
    $<$<NOT:$<CONFIG:Release,MinSizeRel>>:-g1>)
  set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
endfunction()

# The labels of one test: its tool (optional: a test over the whole product, like packaging, has
# none), its kind and any extras.
function(_bix_test_labels out tool kind)
  if(tool AND NOT tool IN_LIST BIX_TEST_TOOLS)
    message(FATAL_ERROR "test tool '${tool}' is not one of: ${BIX_TEST_TOOLS}")
  endif()
  if(NOT kind IN_LIST BIX_TEST_KINDS)
    message(FATAL_ERROR "test kind '${kind}' is not one of: ${BIX_TEST_KINDS}")
  endif()
  set(${out} ${tool} ${kind} ${ARGN} PARENT_SCOPE)
endfunction()

# bix_add_test_support(NAME name SOURCES a.cpp... LIBRARIES lib...)
# Fixtures shared by several test executables, compiled once as an object library; list NAME in
# bix_add_gtest's LIBRARIES.
function(bix_add_test_support)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBRARIES" ${ARGN})
  add_library(${ARG_NAME} OBJECT ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_LIBRARIES} GTest::gmock GTest::gtest)
  _bix_quick_test_code(${ARG_NAME})
endfunction()

# bix_add_gtest(NAME name [TOOL tool] [KIND unit|threads|fuzz] SOURCES a.cpp...
#               LIBRARIES lib... [LABELS extra...] [PROPERTIES prop value...])
# One GoogleTest executable; each of its cases becomes its own ctest entry "name.Suite.Case" (a
# parameterised case "name.Suite/Case/N" by index: values may print as byte dumps), so
# cases run in parallel and one that fails or hangs is named. The cases are listed when ctest starts
# (not when building), so building never runs sanitizer binaries. PROPERTIES apply to every case
# (one value each, e.g. RESOURCE_LOCK for cases that need a machine-wide resource to themselves).
function(bix_add_gtest)
  cmake_parse_arguments(ARG "" "NAME;TOOL;KIND" "SOURCES;LIBRARIES;LABELS;PROPERTIES" ${ARGN})
  if(NOT ARG_KIND)
    set(ARG_KIND unit)
  endif()
  _bix_test_labels(labels "${ARG_TOOL}" "${ARG_KIND}" ${ARG_LABELS})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES} GTest::gmock GTest::gtest GTest::gtest_main)
  _bix_quick_test_code(${ARG_NAME})
  if(ARG_KIND STREQUAL "threads")
    add_dependencies(bix_threads_tests ${ARG_NAME})
  endif()
  gtest_discover_tests(${ARG_NAME}
                       TEST_PREFIX "${ARG_NAME}."
                       TEST_LIST ${ARG_NAME}_CASES
                       NO_PRETTY_VALUES
                       DISCOVERY_MODE PRE_TEST
                       DISCOVERY_TIMEOUT ${BIX_GTEST_DISCOVERY_TIMEOUT})
  # gtest_discover_tests flattens list-valued PROPERTIES (two labels would become a label and a
  # stray property name), so the properties are set by a script ctest reads after the cases.
  set(script "  set_tests_properties(\${${ARG_NAME}_CASES} PROPERTIES LABELS [==[${labels}]==])\n")
  set(properties ${ARG_PROPERTIES})
  while(properties)
    list(POP_FRONT properties name value)
    string(APPEND script "  set_tests_properties(\${${ARG_NAME}_CASES} PROPERTIES ${name} [==[${value}]==])\n")
  endwhile()
  set(properties_file "${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_case_properties.cmake")
  file(WRITE "${properties_file}" "if(${ARG_NAME}_CASES)\n${script}endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${properties_file}")
endfunction()

# bix_add_pytest(NAME name [TOOL tool] DIRECTORY dir [PER_FILE [SEPARATE file.py::test...]]
#                [ENVIRONMENT VAR=value...] [LABELS extra...] [TIMEOUT s])
# Black-box tests written with pytest, run against the built executables whose paths come in
# through ENVIRONMENT (generator expressions allowed). With PER_FILE each test_*.py file is its own
# ctest entry "name.test_x", so a long suite runs in parallel; a test named in SEPARATE (a long
# stress test, say) leaves its file's entry for one of its own, "name.test_x.test_y". Set extra
# properties on one entry with set_tests_properties(name.test_x ...).
function(bix_add_pytest)
  cmake_parse_arguments(ARG "PER_FILE" "NAME;TOOL;DIRECTORY;TIMEOUT" "ENVIRONMENT;LABELS;SEPARATE" ${ARGN})
  _bix_test_labels(labels "${ARG_TOOL}" blackbox ${ARG_LABELS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 900)
  endif()
  if(ARG_SEPARATE AND NOT ARG_PER_FILE)
    message(FATAL_ERROR "${ARG_NAME}: SEPARATE needs PER_FILE")
  endif()
  set(pytest ${BIX_TEST_PYTHON} -m pytest -q -p no:cacheprovider)
  set(entries "")
  if(ARG_PER_FILE)
    file(GLOB test_files CONFIGURE_DEPENDS "${ARG_DIRECTORY}/test_*.py")
    if(NOT test_files)
      message(FATAL_ERROR "${ARG_NAME}: no test_*.py files in ${ARG_DIRECTORY}")
    endif()
    foreach(test_file ${test_files})
      get_filename_component(file_name "${test_file}" NAME)
      get_filename_component(stem "${test_file}" NAME_WE)
      set(deselected "")
      foreach(separate ${ARG_SEPARATE})
        if(separate MATCHES "^${file_name}::(.+)$")
          add_test(NAME ${ARG_NAME}.${stem}.${CMAKE_MATCH_1}
                   COMMAND ${pytest} ${ARG_DIRECTORY}/${separate}
                   WORKING_DIRECTORY ${ARG_DIRECTORY})
          list(APPEND entries ${ARG_NAME}.${stem}.${CMAKE_MATCH_1})
          list(APPEND deselected --deselect ${separate})
        endif()
      endforeach()
      add_test(NAME ${ARG_NAME}.${stem} COMMAND ${pytest} ${deselected} ${test_file}
               WORKING_DIRECTORY ${ARG_DIRECTORY})
      list(APPEND entries ${ARG_NAME}.${stem})
    endforeach()
  else()
    add_test(NAME ${ARG_NAME} COMMAND ${pytest} ${ARG_DIRECTORY} WORKING_DIRECTORY ${ARG_DIRECTORY})
    list(APPEND entries ${ARG_NAME})
  endif()
  set_tests_properties(${entries} PROPERTIES
                       ENVIRONMENT "${ARG_ENVIRONMENT}"
                       TIMEOUT ${ARG_TIMEOUT}
                       LABELS "${labels}")
endfunction()
