# The Debian packages, built with CPack's DEB generator from the install
# rules (scripts/package runs it). The service package must not pull in Qt:
# a headless box installs `ebbmark` alone; `ebbmark-config` adds the window.

set(pkg ${PROJECT_SOURCE_DIR}/packaging/linux)
set(gen ${PROJECT_BINARY_DIR}/packaging)
set(EBBMARK_DEB_CONTACT "The Ebbmark developers <dev@ebbmark.invalid>")

# What Debian asks of every package's doc folder: the copyright and a
# changelog compressed reproducibly.
configure_file(${pkg}/changelog.in ${gen}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${gen}/changelog OUTPUT_FILE ${gen}/changelog.gz
                RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip could not compress the package changelog")
endif()
install(FILES ${pkg}/copyright ${gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ebbmark
        COMPONENT service)
if(TARGET Ebbmark)
  install(FILES ${pkg}/copyright ${gen}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/ebbmark-config COMPONENT config)
endif()

# The manual pages, compressed as Debian wants them.
foreach(page EbbmarkSvc.8 relay-sim.1 Ebbmark.1)
  execute_process(COMMAND gzip -9nc ${pkg}/man/${page} OUTPUT_FILE ${gen}/${page}.gz
                  RESULT_VARIABLE gzip_result)
  if(NOT gzip_result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress the manual page ${page}")
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pkg}/changelog.in
             ${pkg}/man/EbbmarkSvc.8 ${pkg}/man/relay-sim.1 ${pkg}/man/Ebbmark.1)
install(FILES ${gen}/EbbmarkSvc.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
install(FILES ${gen}/relay-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
if(TARGET Ebbmark)
  install(FILES ${gen}/Ebbmark.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT config)
endif()

# The maintainer scripts, and the settings marked as configuration files.
file(WRITE ${gen}/conffiles "${EBBMARK_CONFFILES}")
set(EBBMARK_DEB_SCRIPTS ${pkg}/debian/postinst ${pkg}/debian/prerm ${pkg}/debian/postrm
                        ${gen}/conffiles)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ebbmark)
set(CPACK_PACKAGE_VENDOR "The Ebbmark developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${EBBMARK_DEB_CONTACT})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service)
if(TARGET Ebbmark)
  list(APPEND CPACK_COMPONENTS_ALL config)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://ebbmark.invalid/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME ebbmark)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${EBBMARK_DEB_SCRIPTS})
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "battery protection service for inverter installations\n\
EbbmarkSvc reads the inverter controller's status from a Trellan relay over\n\
TCP. When the battery runs low, or the mains has been gone too long, it runs\n\
the administrator's run file, shuts the computer down or hibernates it, and\n\
sends email notices and journal records along the way.\n\
.\n\
This package holds the service (ebbmark.service), its settings in\n\
/etc/ebbmark and relay-sim, a relay simulator to try it without a relay.")

set(CPACK_DEBIAN_CONFIG_PACKAGE_NAME ebbmark-config)
set(CPACK_DEBIAN_CONFIG_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_CONFIG_PACKAGE_DEPENDS "ebbmark (= ${PROJECT_VERSION}), pkexec")
set(CPACK_COMPONENT_CONFIG_DESCRIPTION
    "settings and live status window for the Ebbmark service\n\
Ebbmark edits the settings of the Ebbmark battery protection service, shows\n\
the live state of the inverter and battery, finds relays on the network,\n\
starts and stops the service and sends a test email.\n\
.\n\
It runs as the desktop user; saving the settings asks for an administrator's\n\
password through polkit.")

include(CPack)
