# render_man_page.cmake: cmake -DGROFF=path -DPAGE=page.1 -DTEXT=out.txt -P render_man_page.cmake
#
# Renders a man page as plain text (no bold or underline by overstriking), for systems
# without man(1): the Windows zip carries docs/quarnel.txt made this way.
execute_process(COMMAND "${GROFF}" -man -Tascii -P-cbou "${PAGE}"
  OUTPUT_FILE "${TEXT}" RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff failed on ${PAGE} (${status}): ${errors}")
endif()
