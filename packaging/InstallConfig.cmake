# Runs at install time, when the prefix is known (cpack installs to /usr below its staging
# folder): writes the systemd unit with the installed paths and puts the settings file in place.
# With the prefix /usr the settings live in /etc/drvfins, as the system's own do; otherwise in
# <prefix>/etc/drvfins. A settings file already there is left alone.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(etc_dir "/etc/drvfins")
else()
    set(etc_dir "${CMAKE_INSTALL_PREFIX}/etc/drvfins")
endif()
set(FINS_INSTALL_BINDIR "${CMAKE_INSTALL_PREFIX}/bin")
set(FINS_INSTALL_CONFIG "${etc_dir}/DrvFins.ini")
configure_file("${FINS_PACKAGING_DIR}/drvfins.service.in" "${FINS_STAGING_DIR}/drvfins.service"
               @ONLY)
file(INSTALL "${FINS_STAGING_DIR}/drvfins.service"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
if(NOT EXISTS "$ENV{DESTDIR}${FINS_INSTALL_CONFIG}")
    file(INSTALL "${FINS_PACKAGING_DIR}/DrvFins.ini.example" DESTINATION "${etc_dir}"
         RENAME DrvFins.ini)
endif()
