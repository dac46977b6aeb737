# Installation and packages: a Debian package of the native build, a zip of the Windows build.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS tarvo tarvo-wait RUNTIME DESTINATION .)
  # The texts with Windows line ends.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/README-windows.txt ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "tarvo-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS tarvo tarvo-wait RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages and the changelog, compressed the way Debian keeps them.
  set(compressed_files "")
  function(tarvo_gzip source compressed)
    add_custom_command(OUTPUT ${compressed}
                       COMMAND gzip -9nc ${source} > ${compressed}
                       DEPENDS ${source} VERBATIM)
    set(compressed_files ${compressed_files} ${compressed} PARENT_SCOPE)
  endfunction()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
  foreach(page tarvo tarvo-wait)
    tarvo_gzip(${PROJECT_SOURCE_DIR}/man/${page}.1 ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  tarvo_gzip(${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_target(compressed_docs ALL DEPENDS ${compressed_files})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
                ${CMAKE_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/examples/tarvo.service ${CMAKE_CURRENT_LIST_DIR}/examples/tarvo.timer
                ${CMAKE_CURRENT_LIST_DIR}/examples/tarvo-waiter.service
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME tarvo)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "tarvo developers <dev@tarvo.invalid>")
  # The programs are linked statically; with dynamic linking, dpkg-shlibdeps works out what they need.
  if(NOT TARVO_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tarvo developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sets a named event once so that a waiting process wakes, and logs it")
set(CPACK_PACKAGE_DESCRIPTION "tarvo is a one-shot signalling utility: each run sets the named event
{E2B90EB2-C1FF-41B1-AD29-E12A06492A93} once, so that a peer waiting on it
wakes up, and appends every step to a text log in the current directory,
which is moved aside at 10 MiB. tarvo-wait is the peer that waits.")
set(CPACK_STRIP_FILES ON)
# tarvo_3_amd64.deb.sha256 and tarvo-3-win32.zip.sha256 beside the packages.
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)

# The packages shipped are the Linux one and the 32-bit Windows one.
if(TARVO_TESTS AND NOT TARVO_SANITIZE AND NOT (WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8))
  if(WIN32)
    set(package_kind zip)
  else()
    set(package_kind deb)
  endif()
  add_test(NAME package_${package_kind}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/check-packages.sh ${package_kind} ${CMAKE_BINARY_DIR})
  set_tests_properties(package_${package_kind} PROPERTIES RESOURCE_LOCK ${TARVO_EVENT_LOCK} TIMEOUT 300
                                                           LABELS package)
endif()
