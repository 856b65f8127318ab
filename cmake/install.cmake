# install.cmake: what `cmake --install` (and `make install PREFIX=dir`) puts under the prefix.
#
# Three install components, which the packages in package.cmake are cut along:
#   tool         bin/quarnel, share/man/man1/quarnel.1, share/doc/quarnel/ (README, docs)
#   development  the libraries of QUARNEL_EXPORTED_LIBRARIES as lib/libquarnel_<name>.a,
#                the engine's header as include/quarnel/regexp.h, and the CMake package
#                lib/cmake/Quarnel/ that gives the imported targets Quarnel::<name>.
#   plain        what a plain install adds to those two: share/doc/quarnel/LICENSE and
#                the pkg-config file lib/pkgconfig/quarnel.pc. The Debian packages carry
#                the licence in their copyright file instead and quarnel.pc in Debian's
#                multiarch directory (package.cmake); the Windows zip takes the licence.
# A Windows build lays the tool out for a zip instead: quarnel.exe, README.md and LICENSE
# at the top, the man page (also rendered as quarnel.txt) and the other documents under
# docs/. tests/install_test.sh checks the layout and builds tests/consumer against it, once
# through the CMake package and once through pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(QUARNEL_INSTALL_BINDIR .)
  set(QUARNEL_INSTALL_READMEDIR .)
  set(QUARNEL_INSTALL_DOCDIR docs)
  set(QUARNEL_INSTALL_MANDIR docs)
else()
  set(QUARNEL_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(QUARNEL_INSTALL_READMEDIR ${CMAKE_INSTALL_DOCDIR})
  set(QUARNEL_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(QUARNEL_INSTALL_MANDIR ${CMAKE_INSTALL_MANDIR}/man1)
endif()
set(QUARNEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quarnel)

# The tool and its documents.
install(TARGETS quarnel RUNTIME DESTINATION ${QUARNEL_INSTALL_BINDIR} COMPONENT tool)
install(FILES docs/quarnel.1 DESTINATION ${QUARNEL_INSTALL_MANDIR} COMPONENT tool)
install(FILES README.md DESTINATION ${QUARNEL_INSTALL_READMEDIR} COMPONENT tool)
file(GLOB QUARNEL_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${QUARNEL_DOCS} DESTINATION ${QUARNEL_INSTALL_DOCDIR} COMPONENT tool)
install(FILES LICENSE DESTINATION ${QUARNEL_INSTALL_READMEDIR} COMPONENT plain)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  # Windows has no man(1): the page also goes in as plain text, rendered by the build
  # machine's groff (a cross build runs on a machine that has one).
  find_program(QUARNEL_GROFF groff REQUIRED)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/quarnel.txt
    COMMAND ${CMAKE_COMMAND} -DGROFF=${QUARNEL_GROFF} -DPAGE=${PROJECT_SOURCE_DIR}/docs/quarnel.1
            -DTEXT=${PROJECT_BINARY_DIR}/quarnel.txt -P ${PROJECT_SOURCE_DIR}/cmake/render_man_page.cmake
    DEPENDS docs/quarnel.1 cmake/render_man_page.cmake
    VERBATIM)
  add_custom_target(man_page_text ALL DEPENDS ${PROJECT_BINARY_DIR}/quarnel.txt)
  install(FILES ${PROJECT_BINARY_DIR}/quarnel.txt DESTINATION ${QUARNEL_INSTALL_DOCDIR} COMPONENT tool)
endif()

# The libraries. Each gets a file name that cannot clash with another project's library
# (libquarnel_regexp.a, not libregexp.a), position-independent code so that it can also be
# linked into a shared library, and an include path that exists only in the build tree:
# headers inside the source tree are private to the build, the one public header is
# installed below. So a library added to the list needs no further change here.
foreach(library IN LISTS QUARNEL_EXPORTED_LIBRARIES)
  set_target_properties(${library} PROPERTIES
    OUTPUT_NAME quarnel_${library}
    EXPORT_NAME ${library}
    POSITION_INDEPENDENT_CODE ON)
  get_target_property(include_dirs ${library} INTERFACE_INCLUDE_DIRECTORIES)
  if(include_dirs)
    set(build_only_dirs)
    foreach(dir IN LISTS include_dirs)
      string(FIND "${dir}/" "${PROJECT_SOURCE_DIR}/" in_source)
      string(FIND "${dir}/" "${PROJECT_BINARY_DIR}/" in_build)
      if(in_source EQUAL 0 OR in_build EQUAL 0)
        set(dir "$<BUILD_INTERFACE:${dir}>")
      endif()
      list(APPEND build_only_dirs "${dir}")
    endforeach()
    set_target_properties(${library} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${build_only_dirs}")
  endif()
endforeach()

install(TARGETS ${QUARNEL_EXPORTED_LIBRARIES} EXPORT QuarnelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# <quarnel/regexp.h>: under a directory of the project's own name, so it cannot collide
# with another library's regexp.h.
install(FILES regexp/regexp.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quarnel COMPONENT development)

# installable builds everything that is installed; `make install` builds only that.
add_custom_target(installable)
add_dependencies(installable quarnel ${QUARNEL_EXPORTED_LIBRARIES})

# The CMake package: find_package(Quarnel) loads QuarnelTargets.cmake, which defines the
# imported targets relative to its own location, so the prefix can be moved as a whole.
install(EXPORT QuarnelTargets NAMESPACE Quarnel:: DESTINATION ${QUARNEL_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(cmake/QuarnelConfig.cmake.in ${PROJECT_BINARY_DIR}/QuarnelConfig.cmake
  INSTALL_DESTINATION ${QUARNEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuarnelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuarnelConfig.cmake ${PROJECT_BINARY_DIR}/QuarnelConfigVersion.cmake
  DESTINATION ${QUARNEL_INSTALL_CMAKEDIR} COMPONENT development)

# The pkg-config file, for builds that do not use CMake: `pkg-config --cflags --libs
# quarnel` gives the include directory and every exported library in link order. Its
# prefix is found from where the file lies (${pcfiledir}), so the prefix can be moved as
# a whole here too. quarnel_pkg_config_file writes it with a given prefix text.
function(quarnel_pkg_config_file output prefix_text)
  set(QUARNEL_PC_PREFIX "${prefix_text}")
  set(QUARNEL_PC_LIBS "")
  foreach(library IN LISTS QUARNEL_EXPORTED_LIBRARIES)
    string(APPEND QUARNEL_PC_LIBS " -lquarnel_${library}")
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/quarnel.pc.in ${output} @ONLY)
endfunction()
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(QUARNEL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH pc_to_prefix /prefix/${QUARNEL_INSTALL_PKGCONFIGDIR} /prefix)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  quarnel_pkg_config_file(${PROJECT_BINARY_DIR}/quarnel.pc "\${pcfiledir}/${pc_to_prefix}")
  install(FILES ${PROJECT_BINARY_DIR}/quarnel.pc DESTINATION ${QUARNEL_INSTALL_PKGCONFIGDIR} COMPONENT plain)
endif()
