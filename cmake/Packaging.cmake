# Installation and the Debian package.
#
#   cmake --install build [--prefix /usr] [DESTDIR=/stage ...]   installs the files below
#   cpack -G DEB (in the build tree)                             builds lomarind_<version>_<arch>.deb
#
# What goes where, for the prefix /usr:
#   /usr/libexec/lomarind/server          the daemon; "server" is too generic a name for a bin dir
#   /usr/bin/lomarind                     the client
#   /lib/systemd/system/lomarind.service  the unit (Debian 12 keeps units out of /usr)
#   /etc/ufw/applications.d/lomarind      the ufw application profile
#   /usr/share/man/man8/lomarind-server.8.gz, /usr/share/man/man1/lomarind.1.gz
#   /usr/share/doc/lomarind/              README.md, docs/, the licence, examples/ (drop-ins)
#                                         and examples/keyed.conf
#
# Install components: "lomarind" holds the program and its documentation; "licence" the
# LICENSE file, which the Debian package replaces by its copyright file; "debian" the files
# only the package carries (copyright, changelog), left out of a plain install.
include(GNUInstallDirs)

set(LOMARIND_SYSTEMD_UNIT_DIR "" CACHE PATH
    "Where lomarind.service goes; empty: /lib/systemd/system for the prefix /usr, else <prefix>/lib/systemd/system")

find_program(LOMARIND_GZIP gzip REQUIRED)

set(lomarind_man_dir ${PROJECT_BINARY_DIR}/man)

# Compresses a roff page at build time, as Debian ships them (gzip -9, no name or time
# stamp inside, so that rebuilds give identical packages), and installs it.
function(lomarind_man_page source section)
  get_filename_component(name ${source} NAME)
  set(copy ${lomarind_man_dir}/${name})
  add_custom_command(
    OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${lomarind_man_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${LOMARIND_GZIP} -9 -n -f ${copy}
    DEPENDS ${source}
    COMMENT "Compressing man page ${name}"
    VERBATIM)
  add_custom_target(lomarind_man_${name} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT lomarind)
endfunction()

# Installs a program; when installing stripped (cpack does) it also drops the compiler's
# .comment and .note sections, as Debian's own packages are stripped.
function(lomarind_install_program target destination)
  install(TARGETS ${target} RUNTIME DESTINATION ${destination} COMPONENT lomarind)
  if(IS_ABSOLUTE "${destination}")
    set(file "${destination}/$<TARGET_FILE_NAME:${target}>")
  else()
    set(file "\${CMAKE_INSTALL_PREFIX}/${destination}/$<TARGET_FILE_NAME:${target}>")
  endif()
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND [[${CMAKE_STRIP}]] --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()
  " COMPONENT lomarind)
endfunction()

lomarind_install_program(server ${CMAKE_INSTALL_LIBEXECDIR}/lomarind)
lomarind_man_page(${PROJECT_SOURCE_DIR}/man/lomarind-server.8 8)

# The client is built from its own directory; its rules are added once the whole project
# has been read, so that they do not depend on where that directory is added.
function(lomarind_install_client)
  if(TARGET lomarind)
    lomarind_install_program(lomarind ${CMAKE_INSTALL_BINDIR})
  endif()
  if(EXISTS ${PROJECT_SOURCE_DIR}/man/lomarind.1)
    lomarind_man_page(${PROJECT_SOURCE_DIR}/man/lomarind.1 1)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL lomarind_install_client)

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT lomarind)
# The README links these: the measurements and the proofs behind it.
install(FILES docs/first-run.md docs/fuzzing-and-analysis.md docs/performance.md
              docs/system-tests.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT lomarind)
install(FILES packaging/examples/allow-controllers.conf packaging/examples/keyed.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT lomarind)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)

# The unit and the ufw profile belong where systemd and ufw look, which depends on the prefix
# in force when installing (cpack installs with its own), so their places are worked out
# then. The unit names the daemon by its installed path.
install(CODE "
  set(lomarind_source_dir [[${PROJECT_SOURCE_DIR}]])
  set(lomarind_stage_dir [[${PROJECT_BINARY_DIR}/packaging]])
  set(lomarind_libexecdir [[${CMAKE_INSTALL_LIBEXECDIR}]])
  set(lomarind_sysconfdir [[${CMAKE_INSTALL_SYSCONFDIR}]])
  set(lomarind_unit_dir [[${LOMARIND_SYSTEMD_UNIT_DIR}]])
" COMPONENT lomarind)
install(CODE [[
  if(IS_ABSOLUTE "${lomarind_libexecdir}")
    set(lomarind_daemon "${lomarind_libexecdir}/lomarind/server")
  else()
    set(lomarind_daemon "${CMAKE_INSTALL_PREFIX}/${lomarind_libexecdir}/lomarind/server")
  endif()
  if(lomarind_unit_dir STREQUAL "")
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(lomarind_unit_dir "/lib/systemd/system")
    else()
      set(lomarind_unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
    endif()
  endif()
  if(IS_ABSOLUTE "${lomarind_sysconfdir}")
    set(lomarind_etc "${lomarind_sysconfdir}")
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(lomarind_etc "/etc")
  else()
    set(lomarind_etc "${CMAKE_INSTALL_PREFIX}/${lomarind_sysconfdir}")
  endif()

  file(READ "${lomarind_source_dir}/packaging/lomarind.service" lomarind_unit)
  string(REPLACE "/usr/libexec/lomarind/server" "${lomarind_daemon}" lomarind_unit
         "${lomarind_unit}")
  file(WRITE "${lomarind_stage_dir}/lomarind.service" "${lomarind_unit}")
  file(INSTALL DESTINATION "${lomarind_unit_dir}" TYPE FILE
       FILES "${lomarind_stage_dir}/lomarind.service")
  file(INSTALL DESTINATION "${lomarind_etc}/ufw/applications.d" TYPE FILE
       FILES "${lomarind_source_dir}/packaging/ufw/lomarind")
]] COMPONENT lomarind)

# tests/package/test-deb.sh runs this against an installed package; it is never installed.
add_subdirectory(tests/package)

# Files only the Debian package carries.
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
          ${PROJECT_BINARY_DIR}/packaging/changelog
  COMMAND ${LOMARIND_GZIP} -9 -n -f ${PROJECT_BINARY_DIR}/packaging/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(lomarind_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME lomarind COMPONENT debian EXCLUDE_FROM_ALL)

# The changelog's newest entry names the package version; a mismatch would make dpkg and
# the changelog disagree about what is installed.
file(STRINGS packaging/debian/changelog lomarind_changelog_top LIMIT_COUNT 1)
if(NOT lomarind_changelog_top MATCHES "^lomarind \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/debian/changelog does not start with version ${PROJECT_VERSION}; "
                  "add an entry before building a package")
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lomarind)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Lomarind developers")
set(CPACK_PACKAGE_CONTACT "Lomarind developers <maintainers@users.noreply.c-seed-13812741.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "suspend this host on a remote client's command")
# cpack installs with DESTDIR and the real prefix, so that the absolute places of the unit
# and the ufw profile land inside the package.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# One package from the components it needs: everything but the plain LICENSE file.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL lomarind debian)
set(CPACK_DEBIAN_PACKAGE_NAME lomarind)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The architecture comes from dpkg --print-architecture, the library dependencies from
# dpkg-shlibdeps on the installed binaries.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The daemon suspends the host with "systemctl suspend".
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS systemd)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS ufw)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Lomarind lets one machine on the network put this host to sleep. The daemon
listens on UDP port 9; a controller opens a short session and asks it to
suspend the host, which it does by running systemctl suspend. The host is later
woken by Wake-on-LAN, which the lomarind client can also send.

The package enables lomarind.service. Limit which machines may suspend the
host with the example drop-ins in /usr/share/doc/lomarind/examples (an address
list, or a key that every command must prove) or with the ufw application
profile Lomarind.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
