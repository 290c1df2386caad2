# The Debian packages (`make package` runs `cpack -G DEB` in the build folder):
#
#   tessra-swm            the Software Manager and tessra-swm-inspect, their man
#                         pages, the desktop entry and the icons
#   tessra-update-server  the update server (with its fault options) and
#                         tessra-publish, for whoever runs an update server
#
# Users of the updater never need the server tool. Library dependencies come
# from dpkg-shlibdeps, so `apt-get install ./tessra-swm_VERSION_ARCH.deb` pulls
# in what is missing.
include(GNUInstallDirs)

set(SWM_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(SWM_DOC_BUILD_DIR ${CMAKE_BINARY_DIR}/packaging)
set(SWM_PACKAGES_swm tessra-swm)
set(SWM_PACKAGES_server tessra-update-server)
set(SWM_PROGRAMS_swm tessra-swm tessra-swm-inspect)
set(SWM_PROGRAMS_server tessra-update-server tessra-publish)

# The Debian revision comes from the top entry of the changelog, whose
# upstream part must be the project's version.
file(STRINGS ${SWM_PACKAGING_DIR}/changelog SWM_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT SWM_CHANGELOG_TOP MATCHES "^[a-z0-9.+-]+ \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/changelog: the first line names no VERSION-REVISION")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(WARNING "packaging/changelog starts at ${CMAKE_MATCH_1}, the project is at "
                  "${PROJECT_VERSION}: add a changelog entry")
endif()
set(SWM_DEBIAN_REVISION ${CMAKE_MATCH_2})

# Debian keeps man pages and changelogs compressed, without time stamps.
set(SWM_COMPRESSED "")
function(swm_gzip source target)
  add_custom_command(OUTPUT ${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SWM_DOC_BUILD_DIR}
    COMMAND gzip -9 -n -c ${source} > ${target}
    DEPENDS ${source}
    VERBATIM)
  set(SWM_COMPRESSED ${SWM_COMPRESSED} ${target} PARENT_SCOPE)
endfunction()

swm_gzip(${SWM_PACKAGING_DIR}/changelog ${SWM_DOC_BUILD_DIR}/changelog.Debian.gz)

foreach(component swm server)
  list(GET SWM_PACKAGES_${component} 0 package)
  foreach(program IN LISTS SWM_PROGRAMS_${component})
    if(NOT TARGET ${program})
      continue()
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
    # Stripped packages also lose the compilers' notes, as Debian's own do.
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
          --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
      endif()" COMPONENT ${component})
    # The page lives in docs/man/ or next to the program's sources.
    get_target_property(sources ${program} SOURCE_DIR)
    set(page "")
    foreach(candidate ${CMAKE_SOURCE_DIR}/docs/man/${program}.1 ${sources}/${program}.1)
      if(EXISTS ${candidate})
        set(page ${candidate})
        break()
      endif()
    endforeach()
    if(page)
      swm_gzip(${page} ${SWM_DOC_BUILD_DIR}/${program}.1.gz)
      install(FILES ${SWM_DOC_BUILD_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
              COMPONENT ${component})
    endif()
  endforeach()
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${SWM_PACKAGING_DIR}/lintian-overrides RENAME ${package}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  install(FILES ${SWM_PACKAGING_DIR}/copyright ${SWM_DOC_BUILD_DIR}/changelog.Debian.gz
          DESTINATION ${doc} COMPONENT ${component})
  if(EXISTS ${SWM_PACKAGING_DIR}/README.${package})
    install(FILES ${SWM_PACKAGING_DIR}/README.${package} DESTINATION ${doc} RENAME README
            COMPONENT ${component})
  endif()
endforeach()
add_custom_target(swm-package-docs ALL DEPENDS ${SWM_COMPRESSED})

# The nginx site that serves a tree as tessra-publish lays it out.
install(FILES ${SWM_PACKAGING_DIR}/nginx/tessra-updates.conf
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/tessra-update-server/nginx COMPONENT server)

# The desktop entry is hidden from menus; it gives window managers and
# notification daemons the program's name and icon.
install(FILES ${SWM_PACKAGING_DIR}/tessra-swm.desktop
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT swm)
file(GLOB SWM_ICONS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/icons/tessra-swm-*.png)
foreach(icon IN LISTS SWM_ICONS)
  if(icon MATCHES "tessra-swm-([0-9]+)\\.png$")
    set(size ${CMAKE_MATCH_1})
    install(FILES ${icon} RENAME tessra-swm.png
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
            COMPONENT swm)
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessra-swm)
set(CPACK_PACKAGE_VENDOR "Tessra")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Directories and files as Debian expects them, whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL swm server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${SWM_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SOURCE tessra-swm)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessra Software Manager maintainers <swm@tessra.example>")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_SWM_PACKAGE_NAME tessra-swm)
set(CPACK_DEBIAN_SWM_PACKAGE_SECTION utils)
# Web pages open through xdg-open; libX11 (loaded when a display answers)
# asks the tax program's windows to close; the screens' fonts stand in for
# Verdana and Arial; the icons go into the hicolor theme.
set(CPACK_DEBIAN_SWM_PACKAGE_RECOMMENDS
    "xdg-utils, libx11-6, fonts-dejavu-core, fonts-liberation, hicolor-icon-theme")
string(CONCAT CPACK_DEBIAN_SWM_DESCRIPTION
  "update companion of the Tessra 2007 tax program\n"
  "The Tessra Software Manager checks the update server for newer versions of\n"
  "the installed Tessra programs, downloads them over HTTP with resume and live\n"
  "progress, runs the installers and starts Tessra again. It also shows the\n"
  "maker's alerts, fetches purchased state modules and reinstalls state\n"
  "modules.\n"
  "\n"
  "Also contains tessra-swm-inspect, which shows support staff what the\n"
  "Software Manager makes of its input files.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME tessra-update-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
string(CONCAT CPACK_DEBIAN_SERVER_DESCRIPTION
  "update server for the Tessra Software Manager\n"
  "tessra-update-server serves a tree of version manifests and installers to\n"
  "the Tessra Software Manager over HTTP, with byte ranges for resumed\n"
  "downloads and a request log. Its fault options (throttling, stalls, dropped\n"
  "connections, ignored ranges, fixed status codes) reproduce bad networks for\n"
  "tests.\n")
if(TARGET tessra-publish)
  string(APPEND CPACK_DEBIAN_SERVER_DESCRIPTION
    "\n"
    "Also contains tessra-publish, with which publishers sign the version\n"
    "manifests of an update tree.\n")
endif()
string(APPEND CPACK_DEBIAN_SERVER_DESCRIPTION
  "\n"
  "Users of the Software Manager do not need this package.")
include(CPack)

# The packages as users get them (lintian included); sanitizer and fuzz
# builds are not hardened and not for packaging.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT SWM_SANITIZE AND NOT SWM_FUZZ)
  add_test(NAME packaging.debs
    COMMAND ${Python3_EXECUTABLE} ${SWM_PACKAGING_DIR}/check_packages.py --build ${CMAKE_BINARY_DIR})
  set_tests_properties(packaging.debs PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
