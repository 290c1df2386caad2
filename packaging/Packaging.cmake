# The Debian package (`make package` runs `cpack -G DEB` in the build folder):
# the Software Manager, the support tool and the update server, each with its
# man page. Library dependencies come from dpkg-shlibdeps, so
# `apt-get install ./tessra-swm_VERSION_ARCH.deb` pulls in what is missing.
include(GNUInstallDirs)

set(SWM_PACKAGED_PROGRAMS tessra-swm tessra-swm-inspect tessra-update-server)
set(SWM_MAN_PAGES "")
foreach(program IN LISTS SWM_PACKAGED_PROGRAMS)
  if(NOT TARGET ${program})
    continue()
  endif()
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(page ${CMAKE_SOURCE_DIR}/docs/man/${program}.1)
  if(EXISTS ${page})
    # Debian keeps man pages compressed.
    set(compressed ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(OUTPUT ${compressed}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND gzip -9 -n -c ${page} > ${compressed}
      DEPENDS ${page}
      VERBATIM)
    list(APPEND SWM_MAN_PAGES ${compressed})
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
if(SWM_MAN_PAGES)
  add_custom_target(swm-man-pages ALL DEPENDS ${SWM_MAN_PAGES})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tessra-swm)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessra-swm)
set(CPACK_PACKAGE_VENDOR "Tessra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Update companion of the Tessra 2007 tax program")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "The Tessra Software Manager checks the update server for newer versions of the\n"
  "installed Tessra programs, downloads them with resume and live progress, runs\n"
  "the installers and starts Tessra again. It also shows the maker's alerts,\n"
  "fetches purchased state modules and reinstalls state modules.\n"
  "Also contains tessra-swm-inspect, a diagnostic tool for support staff, and\n"
  "tessra-update-server, a static HTTP server for update trees.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessra Software Manager maintainers <swm@tessra.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Web pages open through xdg-open; libX11 (loaded when a display answers)
# asks the tax program's windows to close; the screens' fonts stand in for Verdana and Arial.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, libx11-6, fonts-dejavu-core, fonts-liberation")
include(CPack)
