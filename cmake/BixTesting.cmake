# Test helpers shared by every deliverable's CMakeLists.
find_package(GTest REQUIRED)

# bix_add_gtest(NAME name SOURCES a.cpp b.cpp LIBRARIES lib... [LABELS l...])
# One GoogleTest executable registered as one ctest test.
function(bix_add_gtest)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES} GTest::gmock GTest::gtest GTest::gtest_main)
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
  if(ARG_LABELS)
    set_tests_properties(${ARG_NAME} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# bix_add_pytest(NAME name DIRECTORY dir [ENVIRONMENT VAR=value...] [LABELS l...] [TIMEOUT s])
# Black-box tests written with pytest, run against the built executables whose paths come in
# through ENVIRONMENT (generator expressions allowed).
function(bix_add_pytest)
  cmake_parse_arguments(ARG "" "NAME;DIRECTORY;TIMEOUT" "ENVIRONMENT;LABELS" ${ARGN})
  add_test(NAME ${ARG_NAME}
           COMMAND ${BIX_TEST_PYTHON} -m pytest -q -p no:cacheprovider ${ARG_DIRECTORY}
           WORKING_DIRECTORY ${ARG_DIRECTORY})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 900)
  endif()
  set_tests_properties(${ARG_NAME} PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}" TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${ARG_NAME} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
