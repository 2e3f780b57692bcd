# What `cmake --install` puts where, and the Debian package CPack builds from it:
#   bin/                                   quarvel, quarvel-cli, debug-screen
#   share/applications/quarvel.desktop     the window's menu entry
#   share/icons/hicolor/scalable/apps/     its icon
#   share/man/man1/                        quarvel.1.gz (written by hand), quarvel-cli.1.gz
#                                          and debug-screen.1.gz (made from --help by help2man)
#   share/doc/quarvel/                     README.md and docs/*.md
#   lib/systemd/system/                    quarvel-follow@.service, the service that follows a node
# Included from the top-level CMakeLists.txt after every target is defined.

include(GNUInstallDirs)

set(QUARVEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# Named in lower case like the package, whatever the project's name.
set(QUARVEL_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quarvel)

# Programs. The window exists only with QUARVEL_BUILD_GUI.
set(quarvel_programs quarvel-cli debug-screen)
if(TARGET quarvel)
  list(PREPEND quarvel_programs quarvel)
endif()
install(TARGETS ${quarvel_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(TARGET quarvel)
  install(FILES ${QUARVEL_PACKAGING_DIR}/quarvel.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
  install(FILES ${QUARVEL_PACKAGING_DIR}/quarvel.svg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)
endif()

# Manual pages, compressed as Debian keeps them. The window takes no options, so its page
# is written by hand; the other programs' pages are made from their --help at build time
# by help2man, with the sections --help lacks from packaging/*.h2m. The programs run in a
# scratch folder, so that nothing they leave in their current directory lands in the
# build folder.
set(quarvel_man_dir ${PROJECT_BINARY_DIR}/man)
set(quarvel_man_pages)
if(TARGET quarvel)
  string(TIMESTAMP QUARVEL_MAN_DATE "%B %Y")  # honours SOURCE_DATE_EPOCH, as help2man does
  configure_file(${QUARVEL_PACKAGING_DIR}/quarvel.1.in ${quarvel_man_dir}/quarvel.1 @ONLY)
  add_custom_command(
    OUTPUT ${quarvel_man_dir}/quarvel.1.gz
    COMMAND gzip -9 -n -f -k quarvel.1
    DEPENDS ${quarvel_man_dir}/quarvel.1
    WORKING_DIRECTORY ${quarvel_man_dir}
    VERBATIM)
  list(APPEND quarvel_man_pages ${quarvel_man_dir}/quarvel.1.gz)
endif()

find_program(HELP2MAN help2man)
if(QUARVEL_SANITIZE OR QUARVEL_FUZZ)
  # A checking build is not for installing, and its programs are not run at build time.
elseif(HELP2MAN)
  file(MAKE_DIRECTORY ${quarvel_man_dir}/run)
  # quarvel_help2man(TARGET SUMMARY [HELP2MAN OPTIONS...])
  function(quarvel_help2man target summary)
    set(page ${quarvel_man_dir}/${target}.1)
    set(include ${QUARVEL_PACKAGING_DIR}/${target}.h2m)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${HELP2MAN} --no-info --section=1 "--source=Quarvel ${PROJECT_VERSION}" "--name=${summary}"
              --include=${include} ${ARGN} --output=${page} $<TARGET_FILE:${target}>
      COMMAND gzip -9 -n -f ${page}
      DEPENDS ${target} ${include}
      WORKING_DIRECTORY ${quarvel_man_dir}/run
      COMMENT "Writing ${target}.1 from ${target} --help"
      VERBATIM)
    set(quarvel_man_pages ${quarvel_man_pages} ${page}.gz PARENT_SCOPE)
  endfunction()
  quarvel_help2man(quarvel-cli "move the stored history of a SCADA node into an InfluxDB 1.x database")
  # debug-screen has no --version: the project's version stands in.
  quarvel_help2man(debug-screen "print the diagnostic lines a running conversion sends to the Debug Screen"
                   "--version-string=${PROJECT_VERSION}")
else()
  message(WARNING "help2man not found (scripts/setup installs it): quarvel-cli.1 and debug-screen.1 are left out")
endif()
add_custom_target(quarvel_man_pages ALL DEPENDS ${quarvel_man_pages})
if(quarvel_man_pages)
  install(FILES ${quarvel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Not CMAKE_INSTALL_LIBDIR: systemd looks in lib/systemd/system whatever the architecture.
install(FILES ${QUARVEL_PACKAGING_DIR}/quarvel-follow@.service DESTINATION lib/systemd/system)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${QUARVEL_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${QUARVEL_INSTALL_DOCDIR}/docs)

# The Debian package: `cpack -G DEB` in the build folder writes quarvel_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME quarvel)
set(CPACK_PACKAGE_VENDOR "Quarvel maintainers")
set(CPACK_PACKAGE_CONTACT "Quarvel maintainers <maintainers@users.noreply.c-seed-2099372f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "move the stored history of a SCADA node into an InfluxDB 1.x database")
set(CPACK_PACKAGE_DESCRIPTION [[
Quarvel reads a SCADA node's data-log files or its tables and writes every sample as
line protocol into an InfluxDB 1.x database, one measurement and retention policy
per kind (raw, minute, hour, day). It checks the server before writing, resumes
stopped conversions, and keeps the lines a server refused for a later repost.

The package holds the operator's window (quarvel), the command line (quarvel-cli),
the Debug Screen receiver (debug-screen) and the service quarvel-follow@NODE, which
keeps a node's database current.]])
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) names the library packages the programs link against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The server to convert into may be elsewhere; the about box's texts need a CJK font.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "influxdb, fonts-noto-cjk")
include(CPack)
