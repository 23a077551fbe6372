# What `cmake --install` puts where, and the packages `cpack` makes of it:
# a .tar.gz and a .deb on Linux, a flat zip on Windows.

set(CPACK_PACKAGE_NAME dhtfix)
set(CPACK_PACKAGE_VENDOR "The dhtfix developers")
set(CPACK_PACKAGE_CONTACT "The dhtfix developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "give JPEG frames the standard Huffman tables they lack")
set(CPACK_PACKAGE_DESCRIPTION "\
Motion-JPEG frames from webcams, IP cameras, capture cards and video files
often leave out their DHT segment and rely on the decoder knowing the
standard tables; many decoders and viewers then refuse the file. dhtfix
inserts one DHT segment with the four typical tables of ITU-T T.81 Annex K.3
in front of the frame's DQT segment, rewriting the file in place.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The man page as plain text, for a platform without man.
  find_program(GROFF groff REQUIRED)
  set(manual_text ${PROJECT_BINARY_DIR}/dhtfix.txt)
  add_custom_command(OUTPUT ${manual_text}
    COMMAND ${GROFF} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/man/dhtfix.1 > ${manual_text}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/dhtfix.1 VERBATIM)
  add_custom_target(manual_text ALL DEPENDS ${manual_text})
  install(FILES README.md DESTINATION .)
  install(FILES ${manual_text} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dhtfix-${PROJECT_VERSION}-win64)
else()
  install(FILES man/dhtfix.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  # The tool is linked statically and needs nothing at all.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
endif()

include(CPack)
