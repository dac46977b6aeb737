# Installation and packages: a Debian package of the native build, a zip of the Windows build.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS tarvo tarvo-wait RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/README-windows.txt DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "tarvo-${PROJECT_VERSION}-win32")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS tarvo tarvo-wait RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages, compressed the way Debian keeps them.
  set(manuals "")
  foreach(page tarvo tarvo-wait)
    set(compressed ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${compressed}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page}.1 > ${compressed}
                       DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1 VERBATIM)
    list(APPEND manuals ${compressed})
  endforeach()
  add_custom_target(manuals ALL DEPENDS ${manuals})
  install(FILES ${manuals} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

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
