# debian_cross_depends.cmake: the CPACK_PROJECT_CONFIG_FILE of a cross build's Debian
# package (package.cmake): its Depends, found by dpkg-shlibdeps in the cross toolchain's
# libraries.
#
# The toolchain's libraries (/usr/aarch64-linux-gnu/lib, say) belong to Debian's cross
# packages, whose shlibs and symbols files name the target's packages either with an
# architecture qualifier (libc6:arm64) or by the cross package's own name
# (libgcc-s1-arm64-cross). On the target those are its own packages: a package of that
# architecture depends on libc6, libgcc-s1 and libstdc++6 of the same architecture, so
# both forms are written back to the plain name. The minimum versions stay what the cross
# packages give.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(work "${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/cross-shlibdeps")
file(MAKE_DIRECTORY "${work}/debian")
file(WRITE "${work}/debian/control" "Source: quarnel\n\nPackage: quarnel\nArchitecture: any\n")
execute_process(COMMAND dpkg-shlibdeps -O "-l${CPACK_QUARNEL_SYSROOT}/lib" "${CPACK_QUARNEL_BINARY}"
  WORKING_DIRECTORY "${work}" RESULT_VARIABLE status OUTPUT_VARIABLE found ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT found MATCHES "^shlibs:Depends=")
  message(FATAL_ERROR "dpkg-shlibdeps failed on ${CPACK_QUARNEL_BINARY}: ${errors}")
endif()
string(REGEX REPLACE "^shlibs:Depends=([^\n]*).*" "\\1" depends "${found}")
string(REGEX REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}( |,|$)" "\\1" depends "${depends}")
string(REGEX REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross( |,|$)" "\\1" depends "${depends}")
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${depends}")
