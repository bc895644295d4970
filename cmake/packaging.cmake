# A system install (cmake --install) and the Debian package (cpack -G DEB):
# beside the programs, their manual pages, the systemd unit, the logrotate
# file, the options file and the docs. Included last: CPack takes only the
# variables set before include(CPack). Configure with
# -DCMAKE_INSTALL_PREFIX=/usr for the package, so that /etc is /etc.
if(NOT WIN32)
  set(KOLV_PACKAGE_MAINTAINER "Kolv-Bridge maintainers <maintainers@kolv-bridge.example>"
      CACHE STRING "Maintainer field of the Debian package")
  # For /usr (the package) the units go to /lib, as Debian 12 keeps them, and
  # the settings to /etc; other prefixes keep both under the prefix.
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(_kolv_unit_dir /lib/systemd/system)
    set(_kolv_etc /etc)
  else()
    set(_kolv_unit_dir lib/systemd/system)
    set(_kolv_etc ${CMAKE_INSTALL_SYSCONFDIR})
  endif()
  set(KOLV_SYSTEMD_UNIT_DIR ${_kolv_unit_dir} CACHE PATH "Where the systemd unit is installed")

  set(_kolv_in ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
  set(_kolv_out ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  configure_file(${_kolv_in}/kolv-bridge@.service.in ${_kolv_out}/kolv-bridge@.service @ONLY)
  configure_file(${_kolv_in}/kolv-bridge.default ${_kolv_out}/kolv-bridge.default @ONLY)
  configure_file(${_kolv_in}/changelog.in ${_kolv_out}/changelog @ONLY)
  file(WRITE ${_kolv_out}/conffiles
       "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/kolv-bridge\n${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/kolv-bridge\n")

  # Debian wants manual pages and the changelog gzipped, without a name or time inside.
  set(_kolv_pages kolv-bridge.1 kolv-setup.1 ulk-sim.1 kolv-chat.1 ulk.cfg.5)
  set(_kolv_gzipped)
  list(TRANSFORM _kolv_pages PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/man/ OUTPUT_VARIABLE _kolv_sources)
  foreach(_kolv_source IN LISTS _kolv_sources ITEMS ${_kolv_out}/changelog)
    get_filename_component(_kolv_file ${_kolv_source} NAME)
    set(_kolv_copy ${_kolv_out}/gz/${_kolv_file})
    add_custom_command(OUTPUT ${_kolv_copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${_kolv_source} ${_kolv_copy}
      COMMAND gzip -9nf ${_kolv_copy}
      DEPENDS ${_kolv_source} VERBATIM)
    list(APPEND _kolv_gzipped ${_kolv_copy}.gz)
  endforeach()
  add_custom_target(kolv_gzipped_docs ALL DEPENDS ${_kolv_gzipped})

  foreach(_kolv_page IN LISTS _kolv_pages)
    string(REGEX REPLACE ".*\\." "" _kolv_section ${_kolv_page})
    install(FILES ${_kolv_out}/gz/${_kolv_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_kolv_section})
  endforeach()
  install(FILES ${_kolv_out}/kolv-bridge@.service DESTINATION ${KOLV_SYSTEMD_UNIT_DIR})
  install(FILES ${_kolv_in}/kolv-bridge.logrotate DESTINATION ${_kolv_etc}/logrotate.d
          RENAME kolv-bridge)
  install(FILES ${_kolv_out}/kolv-bridge.default DESTINATION ${_kolv_etc}/default RENAME kolv-bridge)
  install(FILES docs/architecture.md docs/reliability.md docs/security.md ${_kolv_in}/copyright
                ${_kolv_out}/gz/changelog.gz
          DESTINATION ${KOLV_INSTALL_DOCDIR})

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KOLV_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${_kolv_out}/conffiles ${_kolv_in}/postinst ${_kolv_in}/prerm ${_kolv_in}/postrm)
  set(CPACK_PACKAGE_DESCRIPTION [[
Kolv-Bridge holds one TCP link, TLS optional and pinned if wanted, to a
remote Ulk chat host, and relays packets between it and the site's local
chat clients, which connect over TCP on localhost. It answers the host's
greetings and pings for the site, reports the link's latency, and
reconnects under a retry policy.

The package runs one bridge per site as the systemd service
kolv-bridge@SITE, hardened and under a user of its own, and rotates each
site's log. It also holds kolv-setup, which writes a site's configuration,
and two stand-ins for trying a site: ulk-sim, a chat host, and kolv-chat,
a chat client.]])
endif()
include(CPack)
