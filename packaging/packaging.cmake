# What `cmake --install` puts where, and the packages `cpack` makes of it:
# a .tar.gz with everything and three .debs for Linux on amd64, arm64 or
# armhf (the tool, dhtfix; the shared library, libdhtfix1; and what builds
# against it, libdhtfix-dev), a flat zip on Windows. Each install rule
# names the component, and so the .deb, it belongs to: tool, runtime or dev.

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
  # The man pages as plain text, for a platform without man.
  find_program(GROFF groff REQUIRED)
  set(manual_texts)
  foreach(page dhtfix dhtcat dhtcheck)
    set(text ${PROJECT_BINARY_DIR}/${page}.txt)
    add_custom_command(OUTPUT ${text}
      COMMAND ${GROFF} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/man/${page}.1 > ${text}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1 VERBATIM)
    list(APPEND manual_texts ${text})
  endforeach()
  add_custom_target(docs ALL DEPENDS ${manual_texts})
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION . COMPONENT tool)
  install(FILES ${manual_texts} DESTINATION . COMPONENT tool)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dhtfix-${PROJECT_VERSION}-win64)
else()
  # Compressed without a name or time in the header, so two builds of one
  # commit give the same bytes.
  find_program(GZIP gzip REQUIRED)
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/dhtfix)
  set(gzipped ${PROJECT_BINARY_DIR}/gzipped)
  file(MAKE_DIRECTORY ${gzipped})
  set(pages dhtfix.1 dhtcat.1 dhtcheck.1 dhtfix.3)
  set(gzip_pages)
  set(gzipped_pages)
  set(page_sources)
  foreach(page IN LISTS pages)
    list(APPEND gzip_pages COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${gzipped}/${page}.gz)
    list(APPEND gzipped_pages ${gzipped}/${page}.gz)
    list(APPEND page_sources ${PROJECT_SOURCE_DIR}/man/${page})
  endforeach()
  add_custom_command(OUTPUT ${gzipped_pages} ${gzipped}/changelog.gz
    ${gzip_pages}
    COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/CHANGELOG.md -DOUT=${gzipped}/changelog
            -DMAINTAINER=${CPACK_PACKAGE_CONTACT} -DEPOCH=${source_date_epoch} -P ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.cmake
    COMMAND ${GZIP} -9n -f ${gzipped}/changelog
    DEPENDS ${page_sources} ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/packaging/debian-changelog.cmake
    VERBATIM)
  add_custom_target(docs ALL DEPENDS ${gzipped_pages} ${gzipped}/changelog.gz)
  install(FILES ${gzipped}/dhtfix.1.gz ${gzipped}/dhtcat.1.gz ${gzipped}/dhtcheck.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES ${gzipped}/changelog.gz DESTINATION ${doc_dir} COMPONENT tool)
  if(DHTFIX_LIBRARY)
    install(FILES ${gzipped}/dhtfix.3.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT dev)
  endif()

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
  install(FILES ${PROJECT_BINARY_DIR}/copyright DESTINATION ${doc_dir} COMPONENT tool)
  # Meaningful only inside the .debs, which install each component on its
  # own: left out of `cmake --install` and the .tar.gz. Each package carries
  # its licence and changes under its own name.
  install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME dhtfix
          COMPONENT tool EXCLUDE_FROM_ALL)
  if(DHTFIX_LIBRARY)
    install(FILES ${PROJECT_BINARY_DIR}/copyright ${gzipped}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libdhtfix1 COMPONENT runtime EXCLUDE_FROM_ALL)
    install(FILES packaging/lintian-overrides-libdhtfix1 DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME libdhtfix1 COMPONENT runtime EXCLUDE_FROM_ALL)
    install(FILES ${PROJECT_BINARY_DIR}/copyright ${gzipped}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libdhtfix-dev COMPONENT dev EXCLUDE_FROM_ALL)
  endif()

  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(deb_arch arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(deb_arch armhf)
  else()
    set(deb_arch amd64)
  endif()
  set(CPACK_SYSTEM_NAME Linux-${deb_arch})
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL tool)
  if(DHTFIX_LIBRARY)
    list(APPEND CPACK_COMPONENTS_ALL runtime dev)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
  set(CPACK_DEBIAN_PACKAGE_SOURCE dhtfix)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Directories 0755 and files 0644 or 0755, whatever the build's umask.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

  # The tool is linked statically and needs nothing at all, not even the
  # library's package.
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME dhtfix)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "")
  # Each package's first line is its own summary (cpack-options.cmake.in).
  set(CPACK_COMPONENT_TOOL_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")

  # The library needs the C library alone; no symbol it takes from it is
  # newer than glibc 2.17 on any of the three machines.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libdhtfix1)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.17)")
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers
      ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "give JPEG frames in memory the standard Huffman tables they lack
libdhtfix is a small C library that gives Motion-JPEG frames in memory the
DHT segment they leave out, by the same rule as the dhtfix tool: the four
typical tables of ITU-T T.81 Annex K.3, in front of the first DQT segment of
every image that lacks them and that they fit. It allocates nothing, does
no I/O and keeps no state. This package holds the shared library.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libdhtfix-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libdhtfix1 (= ${PROJECT_VERSION})")
  set(CPACK_COMPONENT_DEV_DESCRIPTION "development files for libdhtfix
libdhtfix is a small C library that gives Motion-JPEG frames in memory the
DHT segment they leave out, by the same rule as the dhtfix tool. This
package holds its header, the static library, the pkg-config file, the
CMake package and the manual page.")
endif()

include(CPack)
