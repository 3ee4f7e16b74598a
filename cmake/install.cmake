# Where everything goes on Linux, for `cmake --install` and for the Debian
# packages scripts/package builds from the same rules. Two components:
#   service  the daemon, its unit, the settings folder and the simulator;
#   config   the window, its desktop entry and icon, and the helper that
#            saves the settings for a desktop user (the only part needing Qt).
# Included from the top-level CMakeLists.txt once every target exists.

set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(gen ${PROJECT_BINARY_DIR}/packaging)
set(EBBMARK_DATA_DIR ${CMAKE_INSTALL_DATADIR}/ebbmark)

# systemd reads units from /lib/systemd/system, or <prefix>/lib/systemd/system
# for another prefix (/usr/local).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(EBBMARK_UNIT_DIR /lib/systemd/system)
else()
  set(EBBMARK_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()

# The unit from the template "EbbmarkSvc install" fills too.
set(EXEC_START ${CMAKE_INSTALL_FULL_SBINDIR}/EbbmarkSvc)
configure_file(${pkg}/linux/ebbmark.service.in ${gen}/ebbmark.service @ONLY)
configure_file(${pkg}/linux/org.ebbmark.settings.policy.in ${gen}/org.ebbmark.settings.policy @ONLY)

install(TARGETS EbbmarkSvc RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT service)
install(TARGETS relay-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
# The service's and the window's emails go through it; the window's package
# depends on this one.
install(TARGETS ebbmark-mail RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ebbmark COMPONENT service)
install(TARGETS ebbmark-nut RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ebbmark COMPONENT service)
install(FILES ${gen}/ebbmark.service DESTINATION ${EBBMARK_UNIT_DIR} COMPONENT service)

# The settings folder: root's alone, the shipped file and templates kept
# across upgrades as configuration files.
file(GLOB templates ${pkg}/templates/*.msg)
install(DIRECTORY DESTINATION ${EBBMARK_INSTALLED_SETTINGS_DIR} COMPONENT service
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                              WORLD_READ WORLD_EXECUTE)
install(FILES ${pkg}/linux/Ebbmark.ini ${templates} DESTINATION ${EBBMARK_INSTALLED_SETTINGS_DIR}
        COMPONENT service)
set(EBBMARK_CONFFILES)
foreach(f ${pkg}/linux/Ebbmark.ini ${templates})
  get_filename_component(name ${f} NAME)
  string(APPEND EBBMARK_CONFFILES "${EBBMARK_INSTALLED_SETTINGS_DIR}/${name}\n")
endforeach()

# The pristine templates, to copy from after editing the ones in use.
install(FILES ${templates} ${pkg}/templates/README.md DESTINATION ${EBBMARK_DATA_DIR}/examples
        COMPONENT service)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/relay-sim/scenarios/
        DESTINATION ${EBBMARK_DATA_DIR}/scenarios COMPONENT service)

if(TARGET Ebbmark)
  install(TARGETS Ebbmark RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT config)
  install(TARGETS ebbmark-settings-writer RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ebbmark
          COMPONENT config)
  install(FILES ${gen}/org.ebbmark.settings.policy
          DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions COMPONENT config)
  install(FILES ${pkg}/linux/ebbmark.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT config)
  install(FILES ${PROJECT_SOURCE_DIR}/config/images/ebbmark.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT config)
  if(EBBMARK_CMARK)
    install(FILES ${EBBMARK_HELP_HTML} DESTINATION ${EBBMARK_DATA_DIR} COMPONENT config)
  endif()
endif()
