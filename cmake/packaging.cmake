# Installation under the prefix (cmake --install build [--prefix DIR]) and
# the Debian package (cd build && cpack -G DEB).
include(GNUInstallDirs)

foreach(prog corvo wenlo corvo-stat probe corvo-shell)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

set(man_pages corvo wenlo corvo-stat corvo-shell)
set(plot_tool ${PROJECT_SOURCE_DIR}/tools/corvo-plot)
if(EXISTS ${plot_tool})
  install(PROGRAMS ${plot_tool} DESTINATION ${CMAKE_INSTALL_BINDIR})
  list(APPEND man_pages corvo-plot)
endif()
foreach(page ${man_pages})
  if(EXISTS ${PROJECT_SOURCE_DIR}/man/${page}.1)
    install(FILES ${PROJECT_SOURCE_DIR}/man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

set(CPACK_PACKAGE_NAME corvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "corvo developers <corvo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "two-port link emulator (corvo) and pcap trace replayer (wenlo)")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# CPack puts the summary first and indents these lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "corvo forwards Ethernet frames between two ports with per-direction delay,
bandwidth, loss and reordering models; corvo-shell runs a command behind a
corvo link; wenlo replays a pcap capture on a port in a loop.")
# The shared libraries the programs link (libxdp, libbpf, ...) are found by
# dpkg-shlibdeps; the commands corvo-shell runs and the plot tool's Python
# are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(deb_depends "iproute2, nftables, ethtool")
if(EXISTS ${plot_tool})
  string(APPEND deb_depends ", python3, python3-matplotlib")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${deb_depends}")
include(CPack)
