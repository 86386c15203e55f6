# Release artifacts, made by cpack from a Release build:
# - TGZ: the relocatable bundle alone, Brimo.app at the top of the archive (the update archive);
# - DEB: the bundle under BRIMO_PACKAGE_PREFIX, the desktop entry, the icon, the systemd user
#   units of the installed service, the package's copyright and changelog and its lintian
#   overrides.
# scripts/release.sh builds, packs and signs them.
set(packaged_contents Brimo.app/Contents)
install(TARGETS Brimo brimoctl brimo-launchctl mount.brimo umount.brimo
        RUNTIME DESTINATION ${packaged_contents}/MacOS COMPONENT bundle)
install(TARGETS BrimoService
        RUNTIME DESTINATION ${packaged_contents}/XPCServices/BrimoService.xpc/Contents/MacOS COMPONENT bundle)
install(TARGETS Brimofs
        RUNTIME DESTINATION ${packaged_contents}/Extensions/Brimofs.appex/Contents/MacOS COMPONENT bundle)
install(FILES ${BRIMO_APP_CONTENTS}/Info.plist DESTINATION ${packaged_contents} COMPONENT bundle)
install(FILES ${BRIMO_SERVICE_CONTENTS}/Info.plist
        DESTINATION ${packaged_contents}/XPCServices/BrimoService.xpc/Contents COMPONENT bundle)
install(FILES ${BRIMO_EXTENSION_CONTENTS}/Info.plist
        DESTINATION ${packaged_contents}/Extensions/Brimofs.appex/Contents COMPONENT bundle)
install(DIRECTORY ${BRIMO_APP_CONTENTS}/Resources DESTINATION ${packaged_contents} COMPONENT bundle)

# System places, outside the bundle's prefix: only the DEB holds them.
install(FILES ${CMAKE_BINARY_DIR}/package/Ozm.Tarvel.Mac.desktop
        DESTINATION /usr/share/applications COMPONENT desktop)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/Ozm.Tarvel.Mac.svg
        DESTINATION /usr/share/icons/hicolor/scalable/apps COMPONENT desktop)
install(FILES ${CMAKE_BINARY_DIR}/package/systemd/Ozm.Tarvel.Mac.XPC.service
              ${CMAKE_CURRENT_LIST_DIR}/Ozm.Tarvel.Mac.XPC.socket
        DESTINATION /usr/lib/systemd/user COMPONENT desktop)
install(FILES ${CMAKE_BINARY_DIR}/package/copyright ${CMAKE_BINARY_DIR}/package/changelog.Debian.gz
        DESTINATION /usr/share/doc/brimo COMPONENT desktop)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides
        DESTINATION /usr/share/lintian/overrides RENAME brimo COMPONENT desktop)

set(CPACK_PACKAGE_NAME brimo)
set(CPACK_PACKAGE_VENDOR "Ozm.Tarvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Use a phone attached by USB as a desktop drive")
set(CPACK_PACKAGE_DESCRIPTION
    "Brimo turns a phone attached by USB, running its companion app, into a drive on the desktop.")
set(BRIMO_PACKAGE_MAINTAINER "Ozm.Tarvel <support@brimo.example>" CACHE STRING
    "Maintainer named in the Debian package")
# The package's own changelog and copyright notice (Debian wants both in every binary package),
# dated at configure time or by SOURCE_DATE_EPOCH; the changelog is compressed without a
# timestamp so that the same date gives the same bytes.
set(BRIMO_DEBIAN_VERSION ${PROJECT_VERSION}-${BRIMO_BUILD_NUMBER})
string(TIMESTAMP BRIMO_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP BRIMO_PACKAGE_YEAR "%Y" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${CMAKE_BINARY_DIR}/package/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.Debian.in ${CMAKE_BINARY_DIR}/package/changelog.Debian
               @ONLY)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/package/changelog.Debian
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/package/changelog.Debian.gz
                RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip of the Debian changelog failed: ${gzip_result}")
endif()
set(CPACK_PACKAGE_CONTACT ${BRIMO_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

# Per generator (CPackOptions.cmake): the archive holds only the bundle, the DEB everything.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackOptions.cmake)
set(CPACK_BRIMO_BUNDLE_PROJECT "${CMAKE_BINARY_DIR};Brimo;bundle;/")
set(CPACK_BRIMO_ARCHIVE_NAME
    "Brimo-${PROJECT_VERSION}-${BRIMO_BUILD_NUMBER}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_BRIMO_PACKAGE_PREFIX ${BRIMO_PACKAGE_PREFIX})

set(CPACK_DEBIAN_PACKAGE_RELEASE ${BRIMO_BUILD_NUMBER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executables link come from dpkg-shlibdeps, with the versions they need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Tools and daemons started or reached by a fixed path, which no library dependency brings:
# - fuse3: fusermount3, with which mount.brimo, umount.brimo and Brimofs mount and unmount the
#   drive (the app also checks for it before calling the drive usable);
# - usbmuxd: the daemon libusbmuxd talks to; without it the service never sees a phone;
# - procps: pgrep, with which the app finds and ends a hung or outdated service and Brimofs,
#   and /bin/kill, with which the relaunch after a move or an update waits for the old app.
# The other tools (/bin/sh, sleep, rm, tar, setsid) are in essential packages, which every Debian
# system has and packages do not name. scripts/package-check.sh fails on a tool named nowhere.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3, usbmuxd, procps")
# Optional ones; the product works on without each:
# - xdg-utils: xdg-open, with which the service shows a mounted drive in the file manager (its
#   failure is ignored) and the app opens links and the file manager;
# - systemd: systemctl, with which brimo-launchctl stops the socket-activated service; without
#   systemd the user units are unused and clients start the service on demand;
# - libglib2.0-bin: gio, with which the app detaches the read-only disk image it was moved out
#   of (the image then just stays attached).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, systemd, libglib2.0-bin")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[
Brimo turns a phone attached by USB, running its companion app, into a
drive on the desktop: a per-user bridge service talks to the phone through
usbmuxd, a FUSE file system serves the phone's storage in the home folder
as ~/Brimo, and a tray app shows the state of the phone and the drive.

The relocatable bundle is installed as /opt/Brimo/Brimo.app, with a desktop
entry and systemd user units that start the bridge service on demand.]=])

include(CPack)
