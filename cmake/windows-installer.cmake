# The setup program of this build (ebbmark-<version>-win64-setup.exe, or
# -win32-), from packaging/windows/ebbmark.nsi with NSIS: the programs,
# stripped, staged as scripts/build-windows stages them for the zip.
# Included from the top-level CMakeLists.txt once every target exists.

find_program(EBBMARK_MAKENSIS makensis)
if(NOT EBBMARK_MAKENSIS OR NOT TARGET Ebbmark)
  message(STATUS "makensis or the window not available: no setup program (install nsis)")
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(arch win64)
else()
  set(arch win32)
endif()
set(stage ${CMAKE_BINARY_DIR}/installer-stage)
set(EBBMARK_SETUP_EXE ${CMAKE_BINARY_DIR}/ebbmark-${PROJECT_VERSION}-${arch}-setup.exe)
file(GLOB templates ${PROJECT_SOURCE_DIR}/packaging/templates/*)
file(GLOB scenarios ${PROJECT_SOURCE_DIR}/tools/relay-sim/scenarios/*)
set(help)
if(EBBMARK_CMARK)
  set(help ${EBBMARK_HELP_HTML})
endif()

add_custom_command(
  OUTPUT ${EBBMARK_SETUP_EXE}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/examples ${stage}/scenarios
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:EbbmarkSvc> $<TARGET_FILE:Ebbmark>
          $<TARGET_FILE:relay-sim> ${PROJECT_SOURCE_DIR}/README.md ${help} ${stage}
  COMMAND ${CMAKE_STRIP} ${stage}/EbbmarkSvc.exe ${stage}/Ebbmark.exe ${stage}/relay-sim.exe
  COMMAND ${CMAKE_COMMAND} -E copy ${templates} ${stage}/examples
  COMMAND ${CMAKE_COMMAND} -E copy ${scenarios} ${PROJECT_SOURCE_DIR}/tools/relay-sim/README.md
          ${stage}/scenarios
  COMMAND ${EBBMARK_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DARCH=${arch} -DSTAGE=${stage}
          -DOUTFILE=${EBBMARK_SETUP_EXE} -DICON=${CMAKE_BINARY_DIR}/resources/view/ebbmark.ico
          ${PROJECT_SOURCE_DIR}/packaging/windows/ebbmark.nsi
  DEPENDS EbbmarkSvc Ebbmark relay-sim ${PROJECT_SOURCE_DIR}/packaging/windows/ebbmark.nsi
          ${PROJECT_SOURCE_DIR}/README.md ${help} ${templates} ${scenarios}
  COMMENT "Building the setup program")
add_custom_target(ebbmark_setup ALL DEPENDS ${EBBMARK_SETUP_EXE})
