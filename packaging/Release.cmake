# Release artifacts, made by cpack from a Release build:
# - TGZ: the relocatable bundle alone, Brimo.app at the top of the archive (the update archive);
# - DEB: the bundle under BRIMO_PACKAGE_PREFIX, the desktop entry, the icon and the systemd user
#   units of the installed service.
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

set(CPACK_PACKAGE_NAME brimo)
set(CPACK_PACKAGE_VENDOR "Ozm.Tarvel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Use a phone attached by USB as a desktop drive")
set(CPACK_PACKAGE_DESCRIPTION
    "Brimo turns a phone attached by USB, running its companion app, into a drive on the desktop.")
set(BRIMO_PACKAGE_MAINTAINER "Ozm.Tarvel <support@brimo.example>" CACHE STRING
    "Maintainer named in the Debian package")
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
# The libraries the executables link, and fusermount3 for the drive.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libqt6widgets6, libqt6network6, libqt6svg6, libusbmuxd6, libplist3, libsystemd0, \
libuuid1, libfuse3-3, fuse3, libsodium23")
# xdg-open shows the drive in the file manager.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)

include(CPack)
