# The client linked with no shared library at all: libsodium, libstdc++, libgcc and the C
# library are inside the executable (make static-client builds it in build-static/). It is a
# release artefact for the containers in which home-automation systems and dashboards run
# their commands, which seldom hold libsodium or this C++ runtime. The packaged programs keep
# linking the shared libraries; this one gets none of the distribution's security updates of
# libsodium or the C library, so it is rebuilt whenever those change.
#
# Names still resolve in a root that holds nothing but /etc/hosts and /etc/resolv.conf: the
# C library's static getaddrinfo has its files and DNS lookups built in. Only a lookup method
# that /etc/nsswitch.conf names beyond those two is loaded from a shared library at run time,
# and skipped where that library is missing (tests/system/test-static-client.sh shows both).

if(LOMARIND_SANITIZE OR LOMARIND_FUZZ)
  message(FATAL_ERROR "LOMARIND_STATIC_CLIENT cannot be combined with the sanitizers or fuzzing")
endif()

find_library(LOMARIND_SODIUM_ARCHIVE NAMES libsodium.a)
if(NOT LOMARIND_SODIUM_ARCHIVE)
  message(FATAL_ERROR "libsodium.a not found (Debian: apt-get install libsodium-dev)")
endif()
set_target_properties(sodium PROPERTIES IMPORTED_LOCATION "${LOMARIND_SODIUM_ARCHIVE}")

# Unused code is left out and the symbols stripped: the file is copied into containers.
target_compile_options(lomarind_client PRIVATE -ffunction-sections -fdata-sections)
target_link_options(lomarind PRIVATE -static -s -Wl,--gc-sections)

# The linker warns at every static link that calls getaddrinfo that the C library's shared
# libraries are needed at run time. That holds only for the lookup methods above; the link
# passes every other warning on (static-link-filter.sh).
set_property(TARGET lomarind PROPERTY RULE_LAUNCH_LINK
                                      "${CMAKE_CURRENT_LIST_DIR}/static-link-filter.sh")
