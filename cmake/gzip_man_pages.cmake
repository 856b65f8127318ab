# gzip_man_pages.cmake: a CPack pre-build script. After CPack has installed a package's
# files into its staging directory, compress every man page there the way Debian does:
# gzip -9n, best compression, no file name and no time stamp in the header, so the same
# page always gives the same bytes.
file(GLOB_RECURSE staged_files "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER staged_files INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS staged_files)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${page} failed: ${status}")
  endif()
endforeach()
