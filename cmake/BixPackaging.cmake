# Install rules (one component per tool) and Debian packages (one per component, built by CPack).
#
# Layout under the prefix (/usr in the packages):
#   libexec/bix/<tool>                         the four programs; the companion application runs
#                                              them from here, side by side, users never do
#   lib/bix/hatch-tool/                        the hatch tool's sealed runtime, read-only as a whole
#                                              (libexec/bix/bix-hatch-tool links to its launcher)
#   share/bix/ai-accessibility-helper/profiles the helper's shipped desktop profiles
#   share/bix/browser-bridge/<host>.json.in    the native-messaging manifest template
#   bin/bix-install-native-messaging-manifest  installs that manifest for one browser and extension
#   share/doc/<package>/README.md              each tool's documentation
# bix-axctl is a developers' client of the helper that runs from a build tree; it is not shipped.
# Nothing built only for tests or benchmarks has an install rule, so no package can carry one.
include(GNUInstallDirs)

set(BIX_PACKAGE_LIBEXECDIR "${CMAKE_INSTALL_LIBEXECDIR}/bix")
set(BIX_PACKAGE_DATADIR "${CMAKE_INSTALL_DATADIR}/bix")
# Debian keeps a package's private, architecture-dependent tree in /usr/lib/<name>, never under
# the multiarch directory, so this is not CMAKE_INSTALL_LIBDIR.
set(BIX_PACKAGE_HATCH_ROOT "lib/bix/hatch-tool")
set(BIX_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")

set(bix_package_components "")

function(bix_install_readme component package readme)
  install(FILES "${readme}" DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}"
          COMPONENT ${component})
endfunction()

# --- bix-ai-accessibility-helper ---------------------------------------------------------------
if(TARGET bix-ai-accessibility-helper)
  install(TARGETS bix-ai-accessibility-helper RUNTIME DESTINATION "${BIX_PACKAGE_LIBEXECDIR}"
          COMPONENT helper)
  file(GLOB bix_helper_profiles "${PROJECT_SOURCE_DIR}/BixAiAccessibilityHelper/profiles/*.json")
  install(FILES ${bix_helper_profiles}
          DESTINATION "${BIX_PACKAGE_DATADIR}/ai-accessibility-helper/profiles" COMPONENT helper)
  bix_install_readme(helper bix-ai-accessibility-helper
                     "${PROJECT_SOURCE_DIR}/BixAiAccessibilityHelper/README.md")
  list(APPEND bix_package_components helper)
endif()

# --- bix-safe-path-helper ----------------------------------------------------------------------
if(TARGET bix-safe-path-helper)
  install(TARGETS bix-safe-path-helper RUNTIME DESTINATION "${BIX_PACKAGE_LIBEXECDIR}"
          COMPONENT safe-path-helper)
  bix_install_readme(safe-path-helper bix-safe-path-helper
                     "${PROJECT_SOURCE_DIR}/safe-path-helper/README.md")
  list(APPEND bix_package_components safe-path-helper)
endif()

# --- bix-browser-bridge-host -------------------------------------------------------------------
if(TARGET bix-browser-bridge-host)
  # Chromium accepts lower-case letters, digits, '_' and '.' in a host name (dot-separated,
  # no empty part); the manifest file must be named after it.
  if(NOT DEFINED BIX_HOST_BUNDLE_ID)
    set(BIX_HOST_BUNDLE_ID "com.bix.companion")
  endif()
  string(TOLOWER "${BIX_HOST_BUNDLE_ID}.browser_bridge" bix_default_host_name)
  string(REPLACE "-" "_" bix_default_host_name "${bix_default_host_name}")
  set(BIX_NATIVE_MESSAGING_HOST_NAME "${bix_default_host_name}"
      CACHE STRING "Native-messaging host name the browser extension connects to")
  if(NOT BIX_NATIVE_MESSAGING_HOST_NAME MATCHES "^[a-z0-9_]+(\\.[a-z0-9_]+)*$")
    message(FATAL_ERROR "BIX_NATIVE_MESSAGING_HOST_NAME '${BIX_NATIVE_MESSAGING_HOST_NAME}' "
                        "is not a "
                        "valid native-messaging host name (lower-case letters, digits, '_', '.')")
  endif()

  install(TARGETS bix-browser-bridge-host RUNTIME DESTINATION "${BIX_PACKAGE_LIBEXECDIR}"
          COMPONENT browser-bridge-host)
  # The template names the host by its absolute installed path, which is known only when the
  # install runs (CPack and `cmake --install --prefix` choose the prefix then).
  set(bix_nm_template_dir "${BIX_PACKAGE_DATADIR}/browser-bridge")
  install(CODE "
    set(BIX_NM_HOST_NAME \"${BIX_NATIVE_MESSAGING_HOST_NAME}\")
    set(BIX_NM_HOST_PATH
        \"\${CMAKE_INSTALL_PREFIX}/${BIX_PACKAGE_LIBEXECDIR}/bix-browser-bridge-host\")
    set(bix_nm_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${bix_nm_template_dir}\")
    file(MAKE_DIRECTORY \"\${bix_nm_dir}\")
    configure_file(\"${BIX_PACKAGING_DIR}/browser-bridge/native-messaging-host.json.in\"
                   \"\${bix_nm_dir}/\${BIX_NM_HOST_NAME}.json.in\" @ONLY)
    file(CHMOD \"\${bix_nm_dir}/\${BIX_NM_HOST_NAME}.json.in\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    message(STATUS \"Installing: \${bix_nm_dir}/\${BIX_NM_HOST_NAME}.json.in\")
    " COMPONENT browser-bridge-host)
  set(BIX_NM_HOST_NAME "${BIX_NATIVE_MESSAGING_HOST_NAME}")
  file(RELATIVE_PATH BIX_NM_TEMPLATE_FROM_BIN "/${CMAKE_INSTALL_BINDIR}" "/${bix_nm_template_dir}")
  configure_file("${BIX_PACKAGING_DIR}/browser-bridge/bix-install-native-messaging-manifest.in"
                 "${CMAKE_CURRENT_BINARY_DIR}/packaging/bix-install-native-messaging-manifest"
                 @ONLY)
  install(PROGRAMS "${CMAKE_CURRENT_BINARY_DIR}/packaging/bix-install-native-messaging-manifest"
          DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT browser-bridge-host)
  bix_install_readme(browser-bridge-host bix-browser-bridge-host
                     "${PROJECT_SOURCE_DIR}/browser-bridge-host/README.md")
  list(APPEND bix_package_components browser-bridge-host)
endif()

# --- bix-hatch-tool ----------------------------------------------------------------------------
if(TARGET bix-hatch-tool AND TARGET hatch_root)
  # The runtime is installed as the build assembled and sealed it (hatch_root, part of `all`).
  # Any earlier runtime at the destination goes first so that no stale file survives inside the
  # sealed tree; afterwards every directory is 0555, every executable 0555 and every other file
  # 0444, so the launcher's sealed-tree check holds on the installed copy.
  set(bix_hatch_build_root "${CMAKE_CURRENT_BINARY_DIR}/hatch-tool/root")
  install(CODE "
    set(bix_hatch_dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${BIX_PACKAGE_HATCH_ROOT}\")
    if(NOT EXISTS \"${bix_hatch_build_root}/bin/bix-hatch-tool\")
      message(FATAL_ERROR \"The sealed hatch runtime is not assembled; build hatch_root first\")
    endif()
    if(EXISTS \"\${bix_hatch_dest}\" OR IS_SYMLINK \"\${bix_hatch_dest}\")
      file(CHMOD_RECURSE \"\${bix_hatch_dest}\"
           DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
      file(REMOVE_RECURSE \"\${bix_hatch_dest}\")
    endif()
    " COMPONENT hatch-tool)
  install(DIRECTORY "${bix_hatch_build_root}/" DESTINATION "${BIX_PACKAGE_HATCH_ROOT}"
          COMPONENT hatch-tool USE_SOURCE_PERMISSIONS
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  file(RELATIVE_PATH bix_hatch_link_target "/${BIX_PACKAGE_LIBEXECDIR}"
       "/${BIX_PACKAGE_HATCH_ROOT}/bin/bix-hatch-tool")
  install(CODE "
    set(bix_hatch_dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${BIX_PACKAGE_HATCH_ROOT}\")
    file(GLOB_RECURSE bix_hatch_files LIST_DIRECTORIES false \"\${bix_hatch_dest}/*\")
    foreach(bix_file \${bix_hatch_files})
      if(IS_SYMLINK \"\${bix_file}\")
        message(FATAL_ERROR \"The sealed hatch runtime may hold no symbolic link: \${bix_file}\")
      endif()
      execute_process(COMMAND test -x \"\${bix_file}\" RESULT_VARIABLE bix_not_executable)
      if(bix_not_executable)
        file(CHMOD \"\${bix_file}\" PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
      else()
        file(CHMOD \"\${bix_file}\" PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                           WORLD_READ WORLD_EXECUTE)
      endif()
    endforeach()
    file(GLOB_RECURSE bix_hatch_dirs LIST_DIRECTORIES true \"\${bix_hatch_dest}/*\")
    list(APPEND bix_hatch_dirs \"\${bix_hatch_dest}\")
    foreach(bix_dir \${bix_hatch_dirs})
      if(IS_DIRECTORY \"\${bix_dir}\")
        file(CHMOD \"\${bix_dir}\" PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                          WORLD_READ WORLD_EXECUTE)
      endif()
    endforeach()
    set(bix_libexec \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${BIX_PACKAGE_LIBEXECDIR}\")
    set(bix_link \"\${bix_libexec}/bix-hatch-tool\")
    file(MAKE_DIRECTORY \"\${bix_libexec}\")
    file(REMOVE \"\${bix_link}\")
    file(CREATE_LINK \"${bix_hatch_link_target}\" \"\${bix_link}\" SYMBOLIC)
    message(STATUS \"Sealed: \${bix_hatch_dest}; linked: \${bix_link}\")
    " COMPONENT hatch-tool)
  bix_install_readme(hatch-tool bix-hatch-tool "${PROJECT_SOURCE_DIR}/hatch-tool/README.md")
  list(APPEND bix_package_components hatch-tool)
endif()

# --- Debian packages ---------------------------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "bix")
set(CPACK_PACKAGE_VENDOR "Bix")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Bix maintainers <maintainers@users.noreply.c-seed-bf16994f.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# Install with DESTDIR so that CMAKE_INSTALL_PREFIX is the real prefix while the install rules
# run: the manifest template records the host's absolute path.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${bix_package_components})
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)

set(CPACK_DEBIAN_HELPER_PACKAGE_NAME "bix-ai-accessibility-helper")
set(CPACK_DEBIAN_HELPER_DESCRIPTION
    "Bix accessibility helper for AI chat applications
A long-running child process of the Bix companion application. Over a framed JSON
protocol on its standard streams it binds one window of an AI chat application,
resolves a layout profile to accessibility elements, writes prompts, presses
submit and follows the answer. Ships the demo desktop profile.")

set(CPACK_DEBIAN_SAFE-PATH-HELPER_PACKAGE_NAME "bix-safe-path-helper")
set(CPACK_DEBIAN_SAFE-PATH-HELPER_DESCRIPTION
    "Bix checked file-system operations on private data
A one-shot program the Bix companion application runs once per operation: create,
read, rename, link, swap or delete files and private trees inside a root named by
path and identity, detecting races and rolling back what it safely can.")

set(CPACK_DEBIAN_BROWSER-BRIDGE-HOST_PACKAGE_NAME "bix-browser-bridge-host")
set(CPACK_DEBIAN_BROWSER-BRIDGE-HOST_DESCRIPTION
    "Bix bridge between the browser extension and the companion
The native-messaging host the browser starts for the Bix extension and, with
--broker, the broker the Bix companion application runs. Includes a manifest
template and bix-install-native-messaging-manifest, which installs the manifest
for Chromium or Google Chrome and one extension id.")
# The manifest command runs only POSIX shell and coreutils, both essential.

set(CPACK_DEBIAN_HATCH-TOOL_PACKAGE_NAME "bix-hatch-tool")
set(CPACK_DEBIAN_HATCH-TOOL_DESCRIPTION
    "Bix pet animation atlas builder (sealed runtime)
The launcher of a sealed, read-only runtime that checks its own installation and a
private workspace, then runs the reviewed atlas-building modules in an isolated
embedded CPython whose library and standard-library subset ship inside the runtime.")
# The runtime carries its own copy of libpython and of the standard-library subset, so no
# python3 package is needed at run time; dpkg-shlibdeps computes what those ELF objects link
# against from the system (libc, zlib, libexpat, ...).

include(CPack)

# Packages are made from release builds; the sanitizer builds do not package again.
if((BUILD_TESTING OR NOT DEFINED BUILD_TESTING) AND CMAKE_BUILD_TYPE STREQUAL "Release")
  # ctest's ENVIRONMENT is itself a list, so the component list travels comma-separated.
  string(REPLACE ";" "," bix_package_component_words "${bix_package_components}")
  bix_add_pytest(NAME bix_packaging_test
    DIRECTORY "${BIX_PACKAGING_DIR}/tests"
    ENVIRONMENT
      "BIX_PACKAGING_BUILD_DIR=${CMAKE_BINARY_DIR}"
      "BIX_PACKAGING_CPACK=${CMAKE_CPACK_COMMAND}"
      "BIX_PACKAGING_COMPONENTS=${bix_package_component_words}"
      "BIX_PACKAGING_VERSION=${PROJECT_VERSION}"
      "BIX_PACKAGING_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "BIX_NATIVE_MESSAGING_HOST_NAME=${BIX_NATIVE_MESSAGING_HOST_NAME}"
    LABELS packaging
    TIMEOUT 900)
  # Started among the first (ctest starts entries by descending COST until it has timings of its
  # own), so that it is not left running alone at the end of the run.
  set_tests_properties(bix_packaging_test PROPERTIES COST 50)
endif()
