# What a user installs, made with CPack from a real-board build: a .deb and
# an .rpm of the libftdi build on Linux, a .zip of the 32-bit Windows build.
# Other builds make no package; the simulated board's never reaches this file.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# No commas: Debian's Maintainer field, which names the vendor too, holds
# one address, and a comma would make it two.
set(CPACK_PACKAGE_VENDOR "The chipburn/chipdump/chipverify developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "burn and read EPROMs on the Zerbanit USB programmer board")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Unzipped, the folder holds the programs with the licence and the pages
  # as text: the user adds the vendor's FTD2XX.dll beside them, or has the
  # vendor's driver installed. The DLL is the vendor's to give out, not ours.
  # The licence gets Windows line ends, as the pages do: older Notepads show
  # a text without them as one long line.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REPLACE "\n" "\r\n" licence "${licence}")
  file(WRITE ${PROJECT_BINARY_DIR}/LICENSE.txt "${licence}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
elseif(BOARD_DRIVER STREQUAL "libftdi" AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB RPM)
  set(CPACK_DEBIAN_PACKAGE_NAME ${PROJECT_NAME})
  # No Debian revision: the packaging is made here with the programs, so
  # the project's version is the package's.
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_VENDOR} <chipburn@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends comes from the libraries the programs link: libftdi1-2 and libc.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # CPack puts CPACK_PACKAGE_DESCRIPTION_SUMMARY first, as the synopsis.
  set(description "The board holds one EPROM and is driven through an FTDI chip in bit-bang
mode. chipburn streams a raw image into the chip; chipdump reads a chip
into a raw file; chipverify compares a chip with an image, or checks that
it is blank. Between the prompts the operator sets the board's switches,
fits the chip, pushes ADDRESS RESET and switches the power.

The package holds the three programs, their manual pages, their bash
completion, and a udev rule that gives the user at the seat access to the
board.")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${description}")

  # The same files as an RPM. rpmbuild finds what the programs link and
  # requires it by soname (libftdi1.so.2()(64bit)), which every RPM
  # distribution's libftdi1 provides whatever its package is called.
  set(CPACK_RPM_PACKAGE_NAME ${PROJECT_NAME})
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${description}")
  set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)
  # RPM's summary starts with a capital, Debian's synopsis does not.
  set(CPACK_RPM_PACKAGE_SUMMARY "Burn, read and verify EPROMs on a USB programmer board")
  # Installed where the .deb puts its files, not relocated under another prefix.
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  # No /usr/lib/.build-id links beside the programs: the .deb has none, and
  # without debug packages nothing looks programs up by their build ID.
  set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none
%define packager ${CPACK_DEBIAN_PACKAGE_MAINTAINER}")
  # Folders that the system or another package owns: the package owns only
  # its files in them.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/lib/udev /usr/lib/udev/rules.d
      /usr/share/bash-completion /usr/share/bash-completion/completions /usr/share/man /usr/share/man/man1)

  # Debian's policy wants the licence and a changelog in the package's doc
  # folder; the RPM carries the same entry in its own form (CPack's default
  # entry would be one of CPack's authors). SOURCE_DATE_EPOCH, when set,
  # dates the entry.
  set(changes "chipburn, chipdump and chipverify for the Zerbanit board, with their
manual pages, their bash completion and the udev rule that gives the
user at the seat access to the board.")
  string(REPLACE "\n" "\n    " changes_deb "${changes}")
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  string(REPLACE "\n" "\n  " changes_rpm "${changes}")
  string(TIMESTAMP changelog_date "%a %b %d %Y" UTC)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog-rpm.in ${PROJECT_BINARY_DIR}/changelog-rpm @ONLY)
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/changelog-rpm)
  find_program(GZIP gzip REQUIRED)
  execute_process(COMMAND ${GZIP} -9 -n -c ${PROJECT_BINARY_DIR}/changelog
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${CPACK_DEBIAN_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${docdir} RENAME copyright)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${docdir})
else()
  return()
endif()

include(CPack)
