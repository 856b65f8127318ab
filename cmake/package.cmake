# package.cmake: `make package` (CPack) builds the packages from the install components of
# install.cmake.
#
# On Linux: two Debian packages, quarnel (the tool, section utils, its dependencies found
# by dpkg-shlibdeps, the man page gzipped as Debian ships it) and libquarnel-dev (the
# engine's static library, header and CMake package). On Windows (CMAKE_SYSTEM_NAME
# Windows, as in a MinGW-w64 cross build): one zip of the tool component, quarnel.exe with
# README.md and docs/. tests/package_test.sh builds the Debian packages and checks them.
set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quarnel maintainers")
set(CPACK_PACKAGE_CONTACT "Quarnel maintainers <maintainers@users.noreply.c-seed-6e8b8735.example>")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_VERBATIM_VARIABLES TRUE)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_COMPONENTS_ALL tool)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_COMPONENTS_ALL tool development)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
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
The engine compiles a pattern into a compact byte-coded program and runs it with
a backtracking matcher that records the whole match and up to nine groups; a
template routine expands & and \\1 to \\9 from the match. This package holds the
static library, the header <quarnel/regexp.h> and the CMake package:
find_package(Quarnel) gives the imported target Quarnel::regexp.")

  # Debian ships man pages compressed with gzip -9n; cmake --install keeps them plain.
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/gzip_man_pages.cmake)
endif()

include(CPack)
