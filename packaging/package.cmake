# The Debian package: `cpack -G DEB` in the build folder (or the `package`
# target) writes skalo_VERSION_ARCH.deb there.
#
#   /usr/bin/skalo-httpd                      the standalone host
#   /usr/lib/skalo/skalo.so                   the module
#   /usr/lib/skalo/SkaloSettings.xml          -> /etc/skalo/SkaloSettings.xml
#   /etc/skalo/SkaloSettings.xml              the settings (conffile)
#   /lib/systemd/system/skalo.service         skalo-httpd as user skalo
#   /usr/lib/apache2/modules/mod_skalo.so     the Apache host, when built,
#   /etc/apache2/mods-available/skalo.{load,conf}   with its a2enmod files

set(SKALO_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(SKALO_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${SKALO_PACKAGE_STAGE})

set(SKALO_SHARED_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install(TARGETS skalo-httpd RUNTIME DESTINATION bin)
install(TARGETS skalo LIBRARY DESTINATION lib/skalo PERMISSIONS ${SKALO_SHARED_LIBRARY_PERMISSIONS})
install(FILES ${SKALO_PACKAGING_DIR}/SkaloSettings.xml DESTINATION /etc/skalo)
# The module reads its settings beside itself; the administrator's copy lives in /etc.
file(CREATE_LINK /etc/skalo/SkaloSettings.xml ${SKALO_PACKAGE_STAGE}/SkaloSettings.xml SYMBOLIC)
install(FILES ${SKALO_PACKAGE_STAGE}/SkaloSettings.xml DESTINATION lib/skalo)
install(FILES ${SKALO_PACKAGING_DIR}/skalo.service DESTINATION /lib/systemd/system)

set(SKALO_CONFFILES "/etc/skalo/SkaloSettings.xml\n")
if(TARGET mod_skalo)
  install(TARGETS mod_skalo LIBRARY DESTINATION lib/apache2/modules
          PERMISSIONS ${SKALO_SHARED_LIBRARY_PERMISSIONS})
  install(FILES ${SKALO_PACKAGING_DIR}/skalo.load ${SKALO_PACKAGING_DIR}/skalo.conf
          DESTINATION /etc/apache2/mods-available)
  string(APPEND SKALO_CONFFILES
         "/etc/apache2/mods-available/skalo.conf\n/etc/apache2/mods-available/skalo.load\n")
endif()
file(WRITE ${SKALO_PACKAGE_STAGE}/conffiles "${SKALO_CONFFILES}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME skalo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Skalo maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "on-the-fly image-resizing web service")
set(CPACK_PACKAGE_DESCRIPTION
    "Resizes, rotates, pads and re-encodes images on request (JPEG, PNG, GIF,\n"
    "BMP, Targa), keeps the results in a file cache, and answers XML documents\n"
    "describing them. Ships the standalone host skalo-httpd with a systemd\n"
    "unit, and the Apache httpd 2.4 module mod_skalo.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "apache2")
find_program(SKALO_DPKG dpkg)
if(SKALO_DPKG)
  execute_process(COMMAND ${SKALO_DPKG} --print-architecture
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
find_program(SKALO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SKALO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${SKALO_PACKAGE_STAGE}/conffiles
    ${SKALO_PACKAGING_DIR}/postinst
    ${SKALO_PACKAGING_DIR}/prerm
    ${SKALO_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
