# Packages, made by CPack (scripts/package.sh runs it):
# - gathra-<version>-Linux-x86_64.tar.gz: the program folder (Gathra, gathra-collect, libquorlin.so,
#   gathra-termsim) in one top folder, with the README and packaging/;
# - gathra_<version>_amd64.deb: the program files in /usr/lib/gathra, the launcher /usr/bin/gathra and the
#   simulator /usr/bin/gathra-termsim with their manual pages, the menu entry, icons, AppStream metadata,
#   the systemd template unit in /lib/systemd/system (installed, not enabled) and its system user
#   (sysusers.d, made by the postinst), the example udev rule under /usr/share/gathra (inert), the
#   copyright and changelog.
# The two layouts are two install components; CPackProjectConfig.cmake picks one per generator.

set(GATHRA_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
# CPack installs what is built; scripts/package.sh builds the program targets first, so the packages do
# not wait for the whole test suite to build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(GATHRA_PROGRAM_TARGETS quorlin)
foreach(target Gathra gathra-collect gathra-termsim)
    if(TARGET ${target})
        list(APPEND GATHRA_PROGRAM_TARGETS ${target})
    endif()
endforeach()
set(GATHRA_LIBRARY_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The archive: a program folder.
install(TARGETS ${GATHRA_PROGRAM_TARGETS}
        RUNTIME DESTINATION . COMPONENT tarball
        LIBRARY DESTINATION . COMPONENT tarball PERMISSIONS ${GATHRA_LIBRARY_PERMISSIONS})
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION . COMPONENT tarball)
install(DIRECTORY ${GATHRA_PACKAGING_DIR}/ DESTINATION packaging COMPONENT tarball USE_SOURCE_PERMISSIONS)

# The Debian package (installed under /usr).
install(TARGETS ${GATHRA_PROGRAM_TARGETS}
        RUNTIME DESTINATION lib/gathra COMPONENT deb
        LIBRARY DESTINATION lib/gathra COMPONENT deb PERMISSIONS ${GATHRA_LIBRARY_PERMISSIONS})
install(PROGRAMS ${GATHRA_PACKAGING_DIR}/gathra DESTINATION bin COMPONENT deb)
# The simulator on PATH, as the README's first steps call it: a relative link, so an unpacked package works.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
file(CREATE_LINK ../lib/gathra/gathra-termsim ${CMAKE_BINARY_DIR}/packaging/gathra-termsim SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/packaging/gathra-termsim DESTINATION bin COMPONENT deb)
# The system user the collector service runs as; the postinst makes it (systemd-sysusers).
install(FILES ${GATHRA_PACKAGING_DIR}/gathra.sysusers DESTINATION lib/sysusers.d RENAME gathra.conf COMPONENT deb)
install(FILES ${GATHRA_PACKAGING_DIR}/org.gathra.Gathra.desktop DESTINATION share/applications COMPONENT deb)
install(FILES ${GATHRA_PACKAGING_DIR}/org.gathra.Gathra.metainfo.xml DESTINATION share/metainfo COMPONENT deb)
install(FILES ${GATHRA_PACKAGING_DIR}/icons/gathra.svg DESTINATION share/icons/hicolor/scalable/apps
        COMPONENT deb)
foreach(size 16 24 32 48 64 128 256)
    install(FILES ${GATHRA_PACKAGING_DIR}/icons/gathra-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME gathra.png COMPONENT deb)
endforeach()
file(GLOB GATHRA_UDEV_RULES ${GATHRA_PACKAGING_DIR}/udev/*.rules)
install(FILES ${GATHRA_UDEV_RULES} DESTINATION share/gathra COMPONENT deb)
# systemd's unit folder on Debian 12 (outside the /usr prefix; the DEB generator installs with DESTDIR).
install(FILES ${GATHRA_PACKAGING_DIR}/gathra-collect@.service DESTINATION /lib/systemd/system COMPONENT deb)
# Debian wants the changelog compressed, reproducibly (no name, no time stamp in the gzip header).
set(GATHRA_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
execute_process(COMMAND gzip -9nc ${GATHRA_PACKAGING_DIR}/changelog OUTPUT_FILE ${GATHRA_CHANGELOG_GZ})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${GATHRA_PACKAGING_DIR}/changelog)
install(FILES ${GATHRA_PACKAGING_DIR}/copyright ${GATHRA_CHANGELOG_GZ} ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION share/doc/gathra COMPONENT deb)
foreach(page gathra gathra-termsim)
    set(GATHRA_MANPAGE_GZ ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz)
    execute_process(COMMAND gzip -9nc ${GATHRA_PACKAGING_DIR}/${page}.1 OUTPUT_FILE ${GATHRA_MANPAGE_GZ})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${GATHRA_PACKAGING_DIR}/${page}.1)
    install(FILES ${GATHRA_MANPAGE_GZ} DESTINATION share/man/man1 COMPONENT deb)
endforeach()

set(CPACK_PACKAGE_NAME gathra)
set(CPACK_PACKAGE_VENDOR "The Gathra developers")
set(CPACK_PACKAGE_CONTACT "The Gathra developers <developers@gathra.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "collects the data files of handheld terminals")
set(CPACK_PACKAGE_FILE_NAME gathra-${PROJECT_VERSION}-Linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_DEB_COMPONENT_INSTALL OFF)

set(CPACK_DEBIAN_PACKAGE_NAME gathra)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# CPack adds ldconfig calls for any library under /usr/lib; libquorlin.so, private to the programs beside
# it, needs none, and the post-build script takes them out again.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/DebWithoutLdconfig.cmake)
# Beside the computed libraries: xdg-open, by which a double-click on the file label opens the stored file;
# Qt's own Japanese texts (file dialogs, standard buttons); a Japanese font, without which every text of the
# windows is a row of empty boxes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, qt6-translations-l10n, fonts-noto-cjk | fonts-ipafont-gothic")
# The postinst makes the service's system user and moves instances of the earlier dynamic-user unit over.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${GATHRA_PACKAGING_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The synopsis comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Gathra receives the data files of handheld data terminals that sit in an
infrared cradle wired to a serial port, and stores each upload as a text
file, into a workbook or into a database table; it can mail the stored file.
.
The gathra launcher prepares a program folder of the user's own and starts
the window there; gathra --collect runs the collector without a window, by
hand or as a systemd service (one instance per cradle).")

# Per generator: which component, under which prefix.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(CPACK_GENERATOR STREQUAL \"DEB\")
    set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};Gathra;deb;/\")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_SET_DESTDIR ON)
    set(CPACK_INSTALL_PREFIX /usr)
else()
    set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};Gathra;tarball;/\")
endif()
")

include(CPack)
