# The Debian package: `cpack -G DEB` in a build directory makes
# vesk_<version>_<arch>.deb from the install rules.
install(FILES packaging/systemd/vesk-helper.socket packaging/systemd/vesk-helper.service
              packaging/systemd/vesk-dns-route.service
        DESTINATION lib/systemd/system)
install(FILES README.md docs/SECURITY.md packaging/debian/copyright DESTINATION share/doc/vesk)
install(PROGRAMS packaging/debian/nsswitch.sh packaging/debian/dns-route.sh DESTINATION libexec/vesk)

# The changelog and the manual pages, compressed as Debian wants them.
set(VESK_GZIPPED)
foreach(source packaging/debian/changelog packaging/man/vesk.1 packaging/man/vesk-helperctl.1
               packaging/man/vesk-codesign.1)
  get_filename_component(name ${source} NAME)
  set(out ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${out}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND VESK_GZIPPED ${out})
endforeach()
add_custom_target(vesk-package-docs ALL DEPENDS ${VESK_GZIPPED})
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION share/doc/vesk)
# The bash completion, made by vesk from its commands' declarations.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/completion/vesk
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/completion
  COMMAND $<TARGET_FILE:vesk> --completion > ${CMAKE_BINARY_DIR}/packaging/completion/vesk
  DEPENDS vesk VERBATIM)
add_custom_target(vesk-completion ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/completion/vesk)
install(FILES ${CMAKE_BINARY_DIR}/packaging/completion/vesk
        DESTINATION share/bash-completion/completions)
install(FILES packaging/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME vesk)
install(FILES ${CMAKE_BINARY_DIR}/packaging/vesk.1.gz ${CMAKE_BINARY_DIR}/packaging/vesk-helperctl.1.gz
              ${CMAKE_BINARY_DIR}/packaging/vesk-codesign.1.gz DESTINATION share/man/man1)

# Installed programs carry no symbols (vesk-helperctl is stripped before it
# is signed, and never touched after).
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  foreach(program libexec/vesk/vesk-helper libexec/vesk/launchctl bin/vesk-codesign
                  lib/vesk/resources/bin/nginx libexec/vesk/vesk-mail-catcher
                  libexec/vesk/vesk-sendmail)
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                            "${root}/${program}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  file(GLOB modules "${root}/lib/*/libnss_vesk.so.2" "${root}/lib/libnss_vesk.so.2")
  foreach(module ${modules})
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                            --strip-unneeded "${module}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
]])

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vesk")
set(CPACK_PACKAGE_CONTACT "Vesk developers <dev@vesk.test>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "local web-development environment: privileged helper and name lookup")
set(CPACK_PACKAGE_DESCRIPTION
    "Vesk serves a developer's PHP, Node.js and static projects under local domains
of a development top-level domain (.test), with Debian's nginx, dnsmasq and
one PHP-FPM pool per PHP version.
This package holds its privileged helper, a daemon that systemd starts on
demand and that answers only signed clients of the maker's team; launchctl,
which turns launch daemons into systemd units; and libnss_vesk, which makes
the system's own name lookup honour the resolver files of development
domains.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The servers the helper drives, as Debian ships them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "systemd, init-system-helpers (>= 1.54~), iproute2, procps, nginx-light | nginx | nginx-core | nginx-full | nginx-extras, dnsmasq-base | dnsmasq, php8.2-fpm | php-fpm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
