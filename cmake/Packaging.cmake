# Installation, the man page and the Debian package.
#
#   cmake --install build --prefix /usr/local   bin/kestrine, share/man/man1/kestrine.1.gz
#   cd build && cpack -G DEB                     kestrine_<version>_<arch>.deb
#
# The version comes from project(VERSION): the banner gets it as
# KESTRINE_VERSION and the package here. The man page writes it out, so that
# `man ./doc/kestrine.1` reads right in the source tree; configuring stops
# while it differs.

include(GNUInstallDirs)

# Installing (and so cpack) takes the build as it is and does not rebuild
# every target first: build, then install or package.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The man page, compressed as Debian wants it. configure_file makes an edit
# of the page rerun this check.
file(STRINGS ${PROJECT_SOURCE_DIR}/doc/kestrine.1 kestrine_man_version REGEX "^\\.ds Vn ")
if(NOT kestrine_man_version STREQUAL ".ds Vn ${PROJECT_VERSION}")
  message(FATAL_ERROR "doc/kestrine.1 has \"${kestrine_man_version}\"; project(VERSION) is ${PROJECT_VERSION}: "
                      "write \".ds Vn ${PROJECT_VERSION}\" in the man page")
endif()
configure_file(${PROJECT_SOURCE_DIR}/doc/kestrine.1 ${PROJECT_BINARY_DIR}/doc/kestrine.1 COPYONLY)
find_program(KESTRINE_GZIP gzip)
if(KESTRINE_GZIP)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/doc/kestrine.1.gz
    COMMAND ${KESTRINE_GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/doc/kestrine.1 > ${PROJECT_BINARY_DIR}/doc/kestrine.1.gz
    DEPENDS ${PROJECT_BINARY_DIR}/doc/kestrine.1
    COMMENT "Compressing the man page"
    VERBATIM)
  add_custom_target(kestrine_man ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/kestrine.1.gz)
  set(kestrine_man_page ${PROJECT_BINARY_DIR}/doc/kestrine.1.gz)
else()
  set(kestrine_man_page ${PROJECT_BINARY_DIR}/doc/kestrine.1)
endif()

install(TARGETS kestrine RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${kestrine_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Debian's machine-readable copyright file: kestrine's licence and those of
# the libraries it links.
install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: kestrine_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrine)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "kestrine maintainers <kestrine-maintainers@lists.kestrine.dev>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description, under the summary line; cpack indents each line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "kestrine reads a libpcap or pcapng capture of 802.11 frames (bare, Prism,
radiotap or PPI) and writes a libpcap capture of Ethernet II frames, one
for each Data and QoS Data frame, so that tools which understand only
Ethernet can read wireless traffic. Given the keys, it decrypts WEP,
WPA-TKIP and WPA2-CCMP frames in the same pass, following the 4-way
handshakes of WPA/WPA2-Personal networks in the capture, and checks every
frame's integrity. It reads and writes standard input and output, and
sits in a pipeline between a capture tool and an Ethernet-only analyser.")
# dpkg-shlibdeps (package dpkg-dev) derives the library packages and their
# lowest versions from the binary; without it the same packages are named
# by hand, libpcap0.8 being libpcap's runtime package on Debian.
find_program(KESTRINE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTRINE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcap0.8 (>= 1.10), libssl3, libdeflate0, libc6, libstdc++6, libgcc-s1")
  if(KESTRINE_MULTI_BUFFER)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libipsec-mb1 (>= 1.3)")
  endif()
endif()
include(CPack)

# Checks of the page, the installation, the package and the README
# examples, run with the rest of the suite. Each exits 77 (skipped) when a
# tool it needs is not installed.
if(BUILD_TESTING)
  add_test(NAME docs.man_page_renders_without_warnings
           COMMAND sh ${PROJECT_SOURCE_DIR}/tests/man_page_test.sh
                   ${PROJECT_SOURCE_DIR}/doc/kestrine.1 ${PROJECT_BINARY_DIR}/doc/kestrine.1 $<TARGET_FILE:kestrine>)
  add_test(NAME docs.install_and_debian_package
           COMMAND sh ${PROJECT_SOURCE_DIR}/tests/package_test.sh
                   ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR} $<TARGET_FILE:kestrine>)
  add_test(NAME docs.readme_and_man_page_examples
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/readme_examples_test.sh
                   ${PROJECT_SOURCE_DIR} $<TARGET_FILE:kestrine> $<TARGET_FILE:kestrine_gen>)
  set_tests_properties(docs.man_page_renders_without_warnings docs.install_and_debian_package
                       docs.readme_and_man_page_examples PROPERTIES SKIP_RETURN_CODE 77)
  # cpack and cmake --install write into the build tree's install manifest.
  set_tests_properties(docs.install_and_debian_package PROPERTIES RUN_SERIAL ON)
endif()
