# What `cmake --install` puts where, and the packages `cpack` makes of it:
# a .tar.gz and a .deb for Linux on amd64, arm64 or armhf, a flat zip on
# Windows.

set(CPACK_PACKAGE_NAME dhtfix)
set(CPACK_PACKAGE_VENDOR "The dhtfix authors")
set(CPACK_PACKAGE_CONTACT "The dhtfix authors <dhtfix@users.noreply.dhtfix.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "give JPEG frames the standard Huffman tables they lack")
set(CPACK_PACKAGE_DESCRIPTION "\
Motion-JPEG frames from webcams, IP cameras, capture cards and video files
often leave out their DHT segment and rely on the decoder knowing the
standard tables; many decoders and viewers then refuse the file. dhtfix
inserts one DHT segment with the four typical tables of ITU-T T.81 Annex K.3
in front of the frame's DQT segment, rewriting the file in place.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# The commit's time, unless SOURCE_DATE_EPOCH says otherwise, dates the
# changelog's latest entry and every file in the packages, so two builds of
# one commit give the same bytes without anything set by hand.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source_date_epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
configure_file(packaging/cpack-options.cmake.in ${PROJECT_BINARY_DIR}/cpack-options.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-options.cmake)

if(WIN32)
  # The man page as plain text, for a platform without man.
  find_program(GROFF groff REQUIRED)
  set(manual_text ${PROJECT_BINARY_DIR}/dhtfix.txt)
  add_custom_command(OUTPUT ${manual_text}
    COMMAND ${GROFF} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/man/dhtfix.1 > ${manual_text}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/dhtfix.1 VERBATIM)
  add_custom_target(docs ALL DEPENDS ${manual_text})
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION .)
  install(FILES ${manual_text} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dhtfix-${PROJECT_VERSION}-win64)
else()
  # Compressed without a name or time in the header, so two builds of one
  # commit give the same bytes.
  find_program(GZIP gzip REQUIRED)
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/dhtfix)
  set(gzipped ${PROJECT_BINARY_DIR}/gzipped)
  file(MAKE_DIRECTORY ${gzipped})
  add_custom_command(OUTPUT ${gzipped}/dhtfix.1.gz ${gzipped}/changelog.gz
    COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/dhtfix.1 > ${gzipped}/dhtfix.1.gz
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUT=${gzipped}/changelog
            -DMAINTAINER=${CPACK_PACKAGE_CONTACT} -DEPOCH=${source_date_epoch} -P ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.cmake
    COMMAND ${GZIP} -9n -f ${gzipped}/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/man/dhtfix.1 ${PROJECT_SOURCE_DIR}/CHANGELOG.md
            ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.cmake VERBATIM)
  add_custom_target(docs ALL DEPENDS ${gzipped}/dhtfix.1.gz ${gzipped}/changelog.gz)
  install(FILES ${gzipped}/dhtfix.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${gzipped}/changelog.gz DESTINATION ${doc_dir})

  # The licence in Debian's machine-readable copyright format: its text
  # indented by one space, a blank line written as " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "\n+$" "" licence "${licence}")
  string(REGEX REPLACE "^MIT License\n\n" "" licence "${licence}")
  string(REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence " ${licence}")
  file(WRITE ${PROJECT_BINARY_DIR}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: dhtfix

Files: *
Copyright: 2026 the dhtfix authors
License: Expat
${licence}
")
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${doc_dir})
  # Meaningful only inside the .deb: left out of `cmake --install` and the
  # .tar.gz, and added to the .deb by cpack-options.cmake.
  install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME dhtfix
          COMPONENT deb_only EXCLUDE_FROM_ALL)

  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(deb_arch arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(deb_arch armhf)
  else()
    set(deb_arch amd64)
  endif()
  set(CPACK_SYSTEM_NAME Linux-${deb_arch})
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Directories 0755 and files 0644 or 0755, whatever the build's umask.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The tool is linked statically and needs nothing at all.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
endif()

include(CPack)
