# Install components and the host tool's Debian package.
#   cmake --install build --component device   update and its man page: what the
#                                              recorder's root file system gets
#   cmake --install build --component host     update-pack and its man page
# DESTDIR and --prefix place them (DESTDIR=rootfs with --prefix /usr for a
# recorder's root file system); --strip strips them (with the cross strip in a
# cross build). `cpack` in the build tree makes update-pack_<version>_<arch>.deb
# of the host component.
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/update.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT device)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/update-pack.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "update maintainers <update@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes and checks update packages for the recorder's updater")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL host)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_HOST_PACKAGE_NAME update-pack)
set(CPACK_DEBIAN_HOST_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
