# package.cmake: `make package` (CPack) builds the packages from the install components of
# install.cmake.
#
# On Linux: two Debian packages, quarnel (the tool, section utils, its dependencies found
# by dpkg-shlibdeps, the man page gzipped as Debian ships it) and libquarnel-dev (the
# engine's static library, header, CMake package and pkg-config file), each with the
# machine-readable copyright file and the changelog in /usr/share/doc/<package>/, so that
# lintian finds no error or warning. A cross build for another Linux
# (cmake/aarch64-linux-gnu.cmake) packages the tool alone, for its own architecture. On
# Windows (CMAKE_SYSTEM_NAME Windows, as in a MinGW-w64 cross build): one zip of the tool,
# quarnel.exe with README.md, LICENSE and docs/. tests/package_test.sh builds the Debian
# packages and checks them, lintian included.
set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quarnel maintainers")
set(CPACK_PACKAGE_CONTACT "Quarnel maintainers <maintainers@users.noreply.c-seed-6e8b8735.example>")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_VERBATIM_VARIABLES TRUE)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_COMPONENTS_ALL tool plain)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL tool development)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Both packages come from one source, whose changelog they carry.
  set(CPACK_DEBIAN_PACKAGE_SOURCE quarnel)
  # Each description's first line is the package's synopsis. (A CPACK_PACKAGE_DESCRIPTION_
  # SUMMARY would be put in front of both, so none is set.)

  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME quarnel)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_TOOL_DESCRIPTION
"console filter that selects, rewrites and converts text lines
Quarnel reads lines from standard input and writes the lines it selects to
standard output: lines that contain one of up to ten plain strings (optionally
ignoring ASCII letter case), or lines that match a regular expression, or the
lines that do not. A matched line can be rewritten from a template with & and
\\1 to \\9, converted to lower or upper case and prefixed with its line number.
Banner, warnings and a closing summary of lines written and read go to standard
error, so standard output carries only the filtered text.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquarnel-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"regular-expression engine of the Quarnel line filter (static library)
The engine compiles a pattern into a compact byte-coded program and runs it
with a backtracking matcher that records the whole match and up to nine
groups; a template routine expands & and \\1 to \\9 from the match. This
package holds the static libraries, the header <quarnel/regexp.h>, the CMake
package (find_package(Quarnel) gives the imported target Quarnel::regexp) and
the pkg-config file quarnel.pc.")

  # What Debian wants beside the installed files, in the packages only (EXCLUDE_FROM_ALL:
  # a component's own install takes them, a plain install does not):
  # - usr/share/doc/<package>/copyright in the machine-readable format, the licence of
  #   LICENSE under its Debian name (Expat, the MIT licence of that wording);
  # - usr/share/doc/<package>/changelog, gzipped below: a native package's changelog is
  #   changelog.gz (lintian names changelog.Debian.gz wrong for a package whose version
  #   has no Debian revision);
  # - quarnel.pc in the multiarch directory lib/<triplet>/pkgconfig, where the cross
  #   pkg-config looks too; the package is installed under /usr, which the file names.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${license}")
  set(QUARNEL_COPYRIGHT "${CMAKE_MATCH_1}")
  string(FIND "${license}" "Permission is hereby granted" terms_start)
  string(SUBSTRING "${license}" ${terms_start} -1 terms)
  string(STRIP "${terms}" terms)
  string(REPLACE "\n\n" "\n.\n" terms "${terms}")
  string(REPLACE "\n" "\n " terms "${terms}")
  set(QUARNEL_LICENSE_TEXT " ${terms}")
  configure_file(cmake/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
  set(QUARNEL_DEBIAN_DOCS ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
  install(FILES ${QUARNEL_DEBIAN_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tool EXCLUDE_FROM_ALL)
  install(FILES ${QUARNEL_DEBIAN_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libquarnel-dev
    COMPONENT development EXCLUDE_FROM_ALL)
  if(CMAKE_LIBRARY_ARCHITECTURE)
    quarnel_pkg_config_file(${PROJECT_BINARY_DIR}/debian/quarnel.pc /usr)
    install(FILES ${PROJECT_BINARY_DIR}/debian/quarnel.pc
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig COMPONENT development EXCLUDE_FROM_ALL)
  endif()

  # A cross build: the package's architecture is the target's, not the build machine's,
  # and only the tool is packaged. dpkg-shlibdeps cannot run on the staged binary
  # (CPackDeb looks for the libraries of the build machine); debian_cross_depends.cmake
  # runs it at cpack time against the cross toolchain's libraries instead.
  if(CMAKE_CROSSCOMPILING)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    else()
      message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    set(CPACK_COMPONENTS_ALL tool)
    set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS OFF)
    list(GET CMAKE_FIND_ROOT_PATH 0 CPACK_QUARNEL_SYSROOT)
    set(CPACK_QUARNEL_BINARY ${PROJECT_BINARY_DIR}/quarnel)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/debian_cross_depends.cmake)
  endif()

  # Debian ships man pages and changelogs compressed with gzip -9n and strips what
  # cmake --install leaves: debian_staging.cmake does that in the staging directory.
  set(CPACK_QUARNEL_STRIP ${CMAKE_STRIP})
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian_staging.cmake)
endif()

include(CPack)
