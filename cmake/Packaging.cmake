# Installation.
#
#   cmake --install build [--prefix /usr] [DESTDIR=/stage ...]   installs the files below
#
# The Debian package is built from debian/ (make package, or dpkg-buildpackage), whose rules
# configure this with the unit directory of pkg-config's systemd and build only the target
# lomarind-package-files (and the unit tests) before installing.
#
# What goes where, for the prefix /usr:
#   /usr/libexec/lomarind/server          the daemon; "server" is too generic a name for a bin dir
#   /usr/bin/lomarind                     the client
#   /lib/systemd/system/lomarind.service  the unit (Debian 12 keeps units out of /usr); the
#                                         Debian package puts it where pkg-config's systemd says
#   /etc/ufw/applications.d/lomarind      the ufw application profile
#   /usr/share/man/man8/lomarind-server.8.gz, /usr/share/man/man1/lomarind.1.gz
#   /usr/share/doc/lomarind/              README.md, the licence, examples/ (drop-ins)
# The unit's daemon reads the key file /etc/lomarind/keys; a plain install makes no key
# (lomarind keygen /etc/lomarind/keys does), the Debian package makes one when installed.
#
# Install components: "lomarind" holds the program and its documentation; "licence" the
# LICENSE file, which the Debian package leaves out (its copyright file holds the licence).
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
  add_dependencies(lomarind-package-files lomarind_man_${name})
  install(FILES ${copy}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT lomarind)
endfunction()

# Everything the install rules take from the build: the Debian package builds only this.
add_custom_target(lomarind-package-files)

# Installs a program; when installing stripped (cmake --install --strip) it also drops the
# compiler's .comment and .note sections, as Debian's own packages are stripped.
function(lomarind_install_program target destination)
  add_dependencies(lomarind-package-files ${target})
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
install(FILES packaging/examples/allow-controllers.conf packaging/examples/keyless.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT lomarind)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)

# The unit and the ufw profile belong where systemd and ufw look, which depends on the prefix
# in force when installing (cmake --install --prefix may change it), so their places are
# worked out then. The unit names the daemon and the key by their installed paths.
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
  string(REPLACE "/etc/lomarind/keys" "${lomarind_etc}/lomarind/keys" lomarind_unit
         "${lomarind_unit}")
  file(WRITE "${lomarind_stage_dir}/lomarind.service" "${lomarind_unit}")
  file(INSTALL DESTINATION "${lomarind_unit_dir}" TYPE FILE
       FILES "${lomarind_stage_dir}/lomarind.service")
  file(INSTALL DESTINATION "${lomarind_etc}/ufw/applications.d" TYPE FILE
       FILES "${lomarind_source_dir}/packaging/ufw/lomarind")
]] COMPONENT lomarind)

# tests/package/test-deb.sh runs this against an installed package; it is never installed.
add_subdirectory(tests/package)

# The changelog's newest entry names the package version; a mismatch would make dpkg and
# the changelog disagree about what is installed.
file(STRINGS debian/changelog lomarind_changelog_top LIMIT_COUNT 1)
if(NOT lomarind_changelog_top MATCHES "^lomarind \\(${PROJECT_VERSION}\\) ")
  message(WARNING "debian/changelog does not start with version ${PROJECT_VERSION}; "
                  "add an entry (dch -v ${PROJECT_VERSION}) before building a package")
endif()
