# debian_staging.cmake: a CPack pre-build script of the Debian packages. After CPack has
# installed a package's files into its staging directory (and stripped the program), it
# gives them the form Debian ships them in, as dh_compress and dh_strip would:
# - man pages and changelogs compressed with gzip -9n: best compression, no file name and
#   no time stamp in the header, so the same text always gives the same bytes;
# - static libraries stripped of their debug information, and programs and libraries of
#   the .comment and .note sections, which only name the compiler (CPACK_QUARNEL_STRIP is
#   the strip of the build's toolchain, so a cross build uses its own).
file(GLOB_RECURSE staged_files "${CPACK_TEMPORARY_DIRECTORY}/*")

function(run_or_fail)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${status}")
  endif()
endfunction()

set(compressed ${staged_files})
list(FILTER compressed INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$|/share/doc/[^/]+/changelog$")
foreach(file IN LISTS compressed)
  run_or_fail(gzip -9nf "${file}")
endforeach()

set(archives ${staged_files})
list(FILTER archives INCLUDE REGEX "/lib/([^/]+/)?lib[^/]+\\.a$")
foreach(file IN LISTS archives)
  run_or_fail("${CPACK_QUARNEL_STRIP}" --strip-debug --remove-section=.comment --remove-section=.note "${file}")
endforeach()

set(programs ${staged_files})
list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
foreach(file IN LISTS programs)
  run_or_fail("${CPACK_QUARNEL_STRIP}" --remove-section=.comment --remove-section=.note "${file}")
endforeach()
