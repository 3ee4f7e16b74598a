# The help page shipped with Ebbmark: the README rendered to HTML at build
# time, so Online Help and the about window open a page any browser shows.
find_program(EBBMARK_CMARK cmark)
set(EBBMARK_HELP_HTML ${PROJECT_BINARY_DIR}/README.html)
if(EBBMARK_CMARK)
  add_custom_command(
    OUTPUT ${EBBMARK_HELP_HTML}
    COMMAND ${CMAKE_COMMAND} -DCMARK=${EBBMARK_CMARK} -DINPUT=${PROJECT_SOURCE_DIR}/README.md
            -DOUTPUT=${EBBMARK_HELP_HTML} -P ${PROJECT_SOURCE_DIR}/cmake/render_help.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/render_help.cmake
    COMMENT "Rendering the help page")
  add_custom_target(ebbmark_help ALL DEPENDS ${EBBMARK_HELP_HTML})
else()
  message(WARNING "cmark not found: the help page is not built (install cmark)")
  add_custom_target(ebbmark_help)
endif()
