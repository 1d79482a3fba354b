# Compiler and linker hardening plus the warning set, applied to every deliverable.
#
# Release and RelWithDebInfo builds (what ships) get the exploit mitigations; Debug and the
# sanitizer builds keep only position independence, so the sanitizers see the code unaltered.
# tests/hardening reads the built executables back and fails when any of these is missing.

option(BIX_WERROR "Treat compiler warnings as errors (the presets CI runs turn this on)" OFF)

# Executables are linked as PIE (CMP0083 is NEW under cmake_minimum_required 3.25), static
# libraries compiled as PIC so they can go into one.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)

# Warnings beyond -Wall -Wextra: format strings that are not literals or whose arguments mismatch,
# locals hiding other names, a class with virtual functions deleted through a base without a
# virtual destructor. -Wconversion is left out: it flags thousands of size_t/int mixes that are
# checked by hand where they matter.
add_compile_options(
  -Wformat=2
  -Wshadow
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(BIX_WERROR)
  add_compile_options(-Werror)
  # GCC's -Wmaybe-uninitialized reads the code the sanitizers instrument, and GCC 12 then reports
  # std::optional<std::string> and std::regex internals as maybe uninitialized. In sanitizer
  # builds it stays a warning, not an error; every other build keeps it an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND "${CMAKE_CXX_FLAGS}" MATCHES "-fsanitize=")
    add_compile_options(-Wno-error=maybe-uninitialized)
  endif()
endif()

set(bix_hardened_config "$<CONFIG:Release,RelWithDebInfo>")

# _FORTIFY_SOURCE=3 needs GCC 12 or clang 16 (with glibc 2.34); older compilers get level 2. It is
# left out of sanitizer builds, whose interceptors conflict with the checked libc calls.
if("${CMAKE_CXX_FLAGS} ${CMAKE_C_FLAGS}" MATCHES "-fsanitize=")
  set(bix_fortify_level "")
elseif((CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12)
       OR (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 16))
  set(bix_fortify_level 3)
else()
  set(bix_fortify_level 2)
endif()
if(bix_fortify_level)
  # -U first: some toolchains predefine a level, and a redefinition would warn.
  add_compile_options("$<${bix_hardened_config}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=${bix_fortify_level}>")
endif()

add_compile_options(
  "$<${bix_hardened_config}:-fstack-protector-strong;-fstack-clash-protection>")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|i.86)$")
  # Intel CET: ENDBR64 at indirect-branch targets and shadow-stack compatible code.
  add_compile_options("$<${bix_hardened_config}:-fcf-protection=full>")
endif()

# Full RELRO with immediate binding (the GOT is read-only once the loader is done), and a
# non-executable stack even if some object lacks a .note.GNU-stack section.
add_link_options("$<${bix_hardened_config}:LINKER:-z,relro;LINKER:-z,now;LINKER:-z,noexecstack>")

unset(bix_hardened_config)
unset(bix_fortify_level)
