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

# Puts the help page beside `target`'s program, where Online Help and the
# about window look for it.
function(ebbmark_ship_help target)
  add_dependencies(${target} ebbmark_help)
  if(EBBMARK_CMARK)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${EBBMARK_HELP_HTML}
              $<TARGET_FILE_DIR:${target}>/README.html
      COMMENT "Copying the help page beside ${target}")
  endif()
endfunction()
