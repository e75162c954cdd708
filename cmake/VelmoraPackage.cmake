# The Debian package, built by `cmake --build BUILD --target package` (scripts/package does it
# from a clean checkout). It holds what the install rules install; its version is the project's.
include(GNUInstallDirs)

set(VELMORA_PACKAGE_CONTACT "Velmora maintainers <maintainers@velmora.example.org>")
set(VELMORA_PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/velmora-host)

# Debian's policy wants a copyright file and a changelog in every package's doc folder.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/package/changelog CONTENT [==[
velmora-host (${PROJECT_VERSION}) unstable; urgency=medium

  * Version ${PROJECT_VERSION}.

 -- ${VELMORA_PACKAGE_CONTACT}  ${changelog_date}
]==])
find_program(GZIP_PROGRAM gzip REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
                   COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_BINARY_DIR}/package/changelog > ${CMAKE_BINARY_DIR}/package/changelog.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/package/changelog VERBATIM)
add_custom_target(velmora_package_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz ${PROJECT_SOURCE_DIR}/resources/package/copyright
        DESTINATION ${VELMORA_PACKAGE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmora")
set(CPACK_PACKAGE_CONTACT ${VELMORA_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "share this computer's screens with a Velmora client")
set(CPACK_PACKAGE_DESCRIPTION "\
The Velmora host shows a Linux desktop's screens live on a client device on the
same network and lets the client drive the pointer, keyboard and clipboard. The
client finds the host by DNS-SD, pairs with a four-digit code that the host
shows, and receives each screen as HEVC video over UDP.
.
It shares X11 desktops, wlroots compositors, KDE Plasma (KWin, which offers
its interfaces to the installed host), GNOME and desktops with a remote desktop
portal, or virtual displays. The package also holds velmora-client, the
reference client, a systemd user service and a login autostart entry.")
# The paths compiled into the programs and written into the entries are CMAKE_INSTALL_PREFIX's.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velmora.example.org/")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The libraries come from dpkg-shlibdeps; these are what the host starts or loads by name.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "xdg-utils, qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, default-dbus-session-bus | dbus-session-bus")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# No maintainer scripts: the user enables the user service, and the package never starts,
# stops or reloads it, nor touches anything in the user's home.
include(CPack)
