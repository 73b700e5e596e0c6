# The Debian package: `cpack -G DEB` in a build directory makes
# vesk_<version>_<arch>.deb from the install rules.
install(FILES packaging/systemd/vesk-helper.socket packaging/systemd/vesk-helper.service
        DESTINATION lib/systemd/system)
install(FILES README.md docs/SECURITY.md DESTINATION share/doc/vesk)
install(PROGRAMS packaging/debian/nsswitch.sh DESTINATION libexec/vesk)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vesk")
set(CPACK_PACKAGE_CONTACT "Vesk developers <dev@vesk.test>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Local web-development environment: privileged helper, launchctl and name lookup")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The servers the helper drives, as Debian ships them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "systemd, nginx-light | nginx | nginx-core | nginx-full | nginx-extras, dnsmasq-base | dnsmasq, php8.2-fpm | php-fpm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
