# What `cmake --install` puts where, and the Debian package made of it (`cpack -G DEB`).
include(GNUInstallDirs)

set(QUARNELD_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative: below the install prefix)")

install(TARGETS quarneld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The sample without what a host run leaves in it.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sample/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quarneld/sample
        PATTERN .gitignore EXCLUDE
        PATTERN qdlerror.txt EXCLUDE PATTERN xconnect.txt EXCLUDE PATTERN capture.txt EXCLUDE
        PATTERN autoboot.txt EXCLUDE PATTERN origcfs2.cfg EXCLUDE PATTERN origcombatfs.cfg EXCLUDE
        PATTERN console.token EXCLUDE)

# The unit names the program where it is installed, so it is written at install time
# (a package installs below another prefix than a build configured by hand).
install(CODE "
  set(QUARNELD_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(QUARNELD_SAMPLE_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/quarneld/sample\")
  configure_file(${CMAKE_SOURCE_DIR}/packaging/quarneld@.service.in ${CMAKE_BINARY_DIR}/packaging/quarneld@.service @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/packaging/quarneld@.service DESTINATION ${QUARNELD_SYSTEMD_UNIT_DIR})

# Manual pages are installed compressed, as Debian keeps them.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
set(QUARNELD_MAN_PAGE ${CMAKE_BINARY_DIR}/packaging/quarneld.8.gz)
add_custom_command(OUTPUT ${QUARNELD_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/quarneld.8 ${CMAKE_BINARY_DIR}/packaging/quarneld.8
  COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/quarneld.8
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/quarneld.8
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(quarneld_man_page ALL DEPENDS ${QUARNELD_MAN_PAGE})
install(FILES ${QUARNELD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(QUARNELD_PACKAGE_MAINTAINER "quarneld maintainers <quarneld@localhost>" CACHE STRING
    "The Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarneld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUARNELD_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dedicated host for combat flight simulator multiplayer sessions")
set(CPACK_PACKAGE_DESCRIPTION
    "quarneld hosts a DirectPlay 4 session that unmodified simulator clients (versions 1 and 2) join over TCP/IP, keeps players and teams, launches games, flies up to 32 target objects and relays chat. Its operator console is served to a browser. A systemd unit runs one session per working directory below /var/lib/quarneld.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: what dpkg-shlibdeps finds the program linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
