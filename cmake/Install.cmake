# `cmake --install` and `cpack -G DEB`: the console in bin/, its read-only
# resources (interface files, images, the bundled server with its npm
# packages) in share/trevokserver/, where the console looks for them, plus
# the desktop entry, the icon and the AppStream metainfo. Nothing in the
# installation is written at run time: each person's server configuration
# and data live in their own folders.
include(GNUInstallDirs)

set(TREVOK_SERVER_MODULES ${CMAKE_SOURCE_DIR}/resources/server-core/node_modules)

install(TARGETS TrevokServer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The bundled server's npm packages come from the build machine (the setup's
# `npm ci`), so that installing fetches nothing.
install(CODE "
  if(NOT EXISTS \"${TREVOK_SERVER_MODULES}/pouchdb-server\")
    message(FATAL_ERROR \"The bundled server's npm packages are missing: run the setup \"
      \"(scripts/test.sh or scripts/run.sh) before installing.\")
  endif()")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/trevokserver
  USE_SOURCE_PERMISSIONS
  PATTERN .trevok-lock-sum EXCLUDE
  PATTERN .gitignore EXCLUDE
  PATTERN obj.target EXCLUDE
  PATTERN README.md EXCLUDE)
install(FILES ${TREVOK_DESKTOP_ENTRY} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TREVOK_ICON} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${TREVOK_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The Debian package: trevokserver_<version>_amd64.deb. Its dependencies are
# named here rather than found by dpkg-shlibdeps, which would trip over the
# prebuilt native modules of other architectures among the npm packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trevokserver)
set(CPACK_PACKAGE_VENDOR "Trevok")
set(CPACK_PACKAGE_CONTACT "TrevokServer maintainers <maintainers@trevokapp.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Administration console of a small document-sync service")
set(CPACK_PACKAGE_DESCRIPTION
  "Runs the document server of a small sync service (a bundled CouchDB-compatible server), announces a sync listener on the local network over DNS-SD and manages the service's users and projects.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libqt6network6 (>= 6.4), libqt6dbus6 (>= 6.4), libqt6uitools6 (>= 6.4), qt6-qpa-plugins (>= 6.4), libavahi-client3, libavahi-common3, libssl3 (>= 3.0), nodejs (>= 18)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon")
include(CPack)
