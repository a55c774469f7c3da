# Release bundles, built with `cmake --build <dir> --target package`:
#   Windows: a ZIP with quillmere.exe, quillmere-probe.exe, both operator's
#            sheets and a sample f_write.txt;
#   Linux:   a Debian package with quillmere, quillmere-probe and
#            quillmere-sim, the sheets, the sample job file and the udev rule
#            template.
# Only the programs, the sheets and these files are installed: no test
# binary, no library. The version is the project's (project() above).
include(GNUInstallDirs)

# A job file exactly as the tool wants it: the image's name and no line break.
set(QUILLMERE_SAMPLE_JOB ${CMAKE_BINARY_DIR}/packaging/f_write.txt)
file(WRITE ${QUILLMERE_SAMPLE_JOB} "firmware.bin")
set(QUILLMERE_SHEETS ${CMAKE_SOURCE_DIR}/doc/operator-sheet-ru.html ${CMAKE_SOURCE_DIR}/doc/operator-sheet-en.html)

set(CPACK_PACKAGE_NAME quillmere)
set(CPACK_PACKAGE_VENDOR "quillmere")
set(CPACK_PACKAGE_CONTACT "quillmere maintainers <quillmere@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware programming tool for the instrument")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything in one folder: the operator adds f_write.txt's image and starts
  # quillmere.exe there.
  install(TARGETS quillmere quillmere-probe RUNTIME DESTINATION .)
  install(FILES ${QUILLMERE_SHEETS} ${QUILLMERE_SAMPLE_JOB} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS quillmere quillmere-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET quillmere-sim)
    install(TARGETS quillmere-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${QUILLMERE_SHEETS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QUILLMERE_SAMPLE_JOB} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-quillmere.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/quillmere)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # Run-time dependencies (libunicorn for quillmere-sim, the C++ runtime)
  # from the programs' own links.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Writes a firmware image into the flash of the instrument's microcontroller\n"
      "through its boot monitor, reads it back and compares it. quillmere-probe\n"
      "checks an instrument read-only and prints its udev rule; quillmere-sim is\n"
      "a simulated instrument to try the tool without one. The operator's sheets\n"
      "are in /usr/share/doc/quillmere, the udev rule template in\n"
      "/usr/share/quillmere.")
endif()
include(CPack)
