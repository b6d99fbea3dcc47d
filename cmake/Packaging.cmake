# What `cmake --install` puts where, and the Debian package `tarv-updater` that `cpack -G DEB`
# makes of it (scripts/package does both). Included from the top-level CMakeLists.txt after every
# target is defined. Only the programs and their desktop files are installed: no test, benchmark
# or fuzz executable, and not the package writer behind the demo package.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(TARV_RES ${PROJECT_SOURCE_DIR}/res)

install(TARGETS tarv-updater-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The wizard, its menu entry and its icons come together: an entry is no use without the program.
if(TARGET tarv-updater)
    install(TARGETS tarv-updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${TARV_RES}/tarv-updater.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    foreach(size IN ITEMS 32 64 128)
        if(size EQUAL 32)
            set(icon ${TARV_RES}/tarv-updater.png)
        else()
            set(icon ${TARV_RES}/tarv-updater-${size}.png)
        endif()
        install(FILES ${icon} RENAME tarv-updater.png
                DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
endif()

# udev reads lib/udev/rules.d under /usr (and /usr/local), never under the multiarch library
# folder that GNUInstallDirs may choose, so the path is spelled out.
install(FILES ${TARV_RES}/70-tarv-updater.rules DESTINATION lib/udev/rules.d)

# --- The Debian package ---------------------------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarv-updater)
set(CPACK_PACKAGE_VENDOR "Tarv updater developers")
set(CPACK_PACKAGE_CONTACT "Tarv updater developers <dev@tarv-updater.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME tarv-updater)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tarv-updater_<version>-<release>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarv updater developers <dev@tarv-updater.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary line comes first in the control file, and CPack puts it there itself.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for the Tarv USB HID device")
set(TARV_DEB_DESCRIPTION
    "Reads and checks an update package (TarvUpdate.Bin) and rewrites the firmware
of the Tarv USB HID device over HID.")
if(TARGET tarv-updater)
    string(APPEND TARV_DEB_DESCRIPTION "
The wizard tarv-updater, with its menu entry, leads through an update.")
endif()
string(APPEND TARV_DEB_DESCRIPTION "
The console front end tarv-updater-cli checks a package before it is shipped
and updates one device after another. A udev rule lets the user logged in at
the machine open the device without root.")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${TARV_DEB_DESCRIPTION}")

# The libraries' packages come from dpkg-shlibdeps; udev applies the rule. Qt finds its platform
# plugins at run time, so shlibdeps cannot see that the wizard needs them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(TARV_DEB_DEPENDS udev)
if(TARGET tarv-updater)
    list(APPEND TARV_DEB_DEPENDS qt6-qpa-plugins)
endif()
list(JOIN TARV_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The Wayland platform plugin is a package of its own; an X11 desktop does without it.
if(TARGET tarv-updater)
    set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
endif()

# postinst and postrm: reload the udev rules and apply them to a device plugged in already.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TARV_RES}/deb/postinst ${TARV_RES}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
