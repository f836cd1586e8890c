# What `cmake --install` puts where, and the Debian package built from it with CPack.
# Included at the end of the top-level CMakeLists.txt, once every program target is defined;
# programs that are not built in this configuration are left out.
#
# Layout (relative to the prefix):
#   bin/vumo-dfu, bin/vumo-dfu-utility, bin/vumo-dfu-sim
#   libexec/vumo-dfu/checksum            the helper: private, so that no program of that common
#                                        name lands on everyone's PATH
#   lib/udev/rules.d/70-vumo-dfu.rules   access for the user at the seat, made from the vendor ID
#   share/applications, share/metainfo, share/icons/hicolor   the window's menu entry
#   share/man/man1, share/bash-completion/completions, share/doc/vumo-dfu

include_guard(GLOBAL)
include(GNUInstallDirs)

set(_vumo_pkg ${PROJECT_SOURCE_DIR}/packaging)
set(_vumo_gen ${PROJECT_BINARY_DIR}/packaging)

# One name for the window's desktop entry, its metainfo and its icon: desktops match them by it.
set(VUMO_APP_ID "org.vumo.dfu_utility")
# The station window's own menu entry; it shares the program, the metainfo and the icon.
set(VUMO_STATION_ID "org.vumo.dfu_station")

set(VUMO_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Folder of the installed udev rule, absolute or relative to the install prefix")
set(VUMO_UDEV_RULE_NAME "70-vumo-dfu.rules")

# --- The vendor and product IDs as udev and AppStream write them -------------------------------

# sysfs shows idVendor as four lower-case hex digits; modaliases use upper case.
if(NOT VUMO_VENDOR_ID MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
  message(FATAL_ERROR "VUMO_VENDOR_ID must be a number such as 0x1209, not '${VUMO_VENDOR_ID}'")
endif()
math(EXPR _vumo_vid "${VUMO_VENDOR_ID}")
if(_vumo_vid LESS 1 OR _vumo_vid GREATER 65535)
  message(FATAL_ERROR "VUMO_VENDOR_ID ${VUMO_VENDOR_ID} is not a USB vendor ID")
endif()
math(EXPR _vumo_vid_hex "${_vumo_vid} + 65536" OUTPUT_FORMAT HEXADECIMAL)  # 0x1xxxx: 4 digits
string(SUBSTRING "${_vumo_vid_hex}" 3 4 VUMO_UDEV_VENDOR)
string(TOLOWER "${VUMO_UDEV_VENDOR}" VUMO_UDEV_VENDOR)
string(TOUPPER "${VUMO_UDEV_VENDOR}" VUMO_UDEV_VENDOR_UPPER)
# The products are fixed by the device family (build_config.h.in): application, update loader.
set(VUMO_UDEV_APP_PRODUCT "0001")
set(VUMO_UDEV_DFU_PRODUCT "0002")
set(VUMO_UDEV_APP_PRODUCT_UPPER "0001")
set(VUMO_UDEV_DFU_PRODUCT_UPPER "0002")

# --- Paths named inside the installed files ----------------------------------------------------

set(VUMO_HELPER_DIR "${CMAKE_INSTALL_FULL_LIBEXECDIR}/vumo-dfu")
if(IS_ABSOLUTE "${VUMO_UDEV_RULES_DIR}")
  set(_vumo_udev_full "${VUMO_UDEV_RULES_DIR}")
else()
  set(_vumo_udev_full "${CMAKE_INSTALL_PREFIX}/${VUMO_UDEV_RULES_DIR}")
endif()
set(VUMO_UDEV_RULE_PATH "${_vumo_udev_full}/${VUMO_UDEV_RULE_NAME}")
set(VUMO_DOC_DIR "${CMAKE_INSTALL_FULL_DOCDIR}")

# --- Programs ----------------------------------------------------------------------------------

foreach(_vumo_program IN ITEMS vumo-dfu vumo-dfu-utility vumo-dfu-sim)
  if(TARGET ${_vumo_program})
    install(TARGETS ${_vumo_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET checksum)
  install(TARGETS checksum RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/vumo-dfu)
endif()

# --- Device access -----------------------------------------------------------------------------

configure_file(${_vumo_pkg}/70-vumo-dfu.rules.in ${_vumo_gen}/${VUMO_UDEV_RULE_NAME} @ONLY)
install(FILES ${_vumo_gen}/${VUMO_UDEV_RULE_NAME} DESTINATION ${VUMO_UDEV_RULES_DIR})

# --- The window in the desktop's menu ----------------------------------------------------------

if(TARGET vumo-dfu-utility)
  install(FILES ${_vumo_pkg}/${VUMO_APP_ID}.desktop ${_vumo_pkg}/${VUMO_STATION_ID}.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${_vumo_pkg}/${VUMO_APP_ID}.metainfo.xml.in
                 ${_vumo_gen}/${VUMO_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${_vumo_gen}/${VUMO_APP_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${_vumo_pkg}/icons/${VUMO_APP_ID}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(_vumo_size IN ITEMS 16 24 32 48 64 128 256)
    install(FILES ${_vumo_pkg}/icons/${VUMO_APP_ID}-${_vumo_size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_vumo_size}x${_vumo_size}/apps
            RENAME ${VUMO_APP_ID}.png)
  endforeach()
endif()

# --- Manual pages, completion, documentation ---------------------------------------------------

set(_vumo_man_pages vumo-dfu)
if(TARGET vumo-dfu-utility)
  list(APPEND _vumo_man_pages vumo-dfu-utility)
endif()
if(TARGET checksum)
  list(APPEND _vumo_man_pages vumo-dfu-checksum)
endif()

# Installed compressed, as Debian does, without a name or time stamp in the gzip header so that
# the package is reproducible.
find_program(VUMO_GZIP gzip)
mark_as_advanced(VUMO_GZIP)
set(_vumo_man_outputs)
foreach(_vumo_page IN LISTS _vumo_man_pages)
  set(_vumo_page_file ${_vumo_gen}/man/${_vumo_page}.1)
  configure_file(${_vumo_pkg}/man/${_vumo_page}.1.in ${_vumo_page_file} @ONLY)
  if(VUMO_GZIP)
    add_custom_command(
      OUTPUT ${_vumo_page_file}.gz
      COMMAND ${VUMO_GZIP} -9nkf ${_vumo_page_file}
      DEPENDS ${_vumo_page_file}
      COMMENT "Compressing manual page ${_vumo_page}.1"
      VERBATIM)
    list(APPEND _vumo_man_outputs ${_vumo_page_file}.gz)
  else()
    list(APPEND _vumo_man_outputs ${_vumo_page_file})
  endif()
endforeach()
add_custom_target(vumo_man_pages ALL DEPENDS ${_vumo_man_outputs})
install(FILES ${_vumo_man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(TARGET vumo-dfu)
  install(FILES ${_vumo_pkg}/completion/vumo-dfu
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# The licence, where Debian keeps it for every package.
install(FILES ${_vumo_pkg}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

foreach(_vumo_doc IN ITEMS README.md docs/user-guide.md)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${_vumo_doc})
    install(FILES ${PROJECT_SOURCE_DIR}/${_vumo_doc} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endforeach()

# --- Debian package ----------------------------------------------------------------------------

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vumo-dfu")
set(CPACK_PACKAGE_VENDOR "The vumo-dfu developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update utility for Vumo USB devices")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Installs new firmware on Vumo USB HID devices, in their application mode or their update\n"
    "mode: checks the firmware file, switches the device to its update loader and uploads the\n"
    "image block by block, each block with its checksum.\n"
    "\n"
    "Contains vumo-dfu, a command line for scripts and production lines, the window\n"
    "vumo-dfu-utility, and a udev rule that lets the logged-in user reach the device without\n"
    "root.\n"
    "\n"
    "Licence: ${VUMO_LICENSE}.")
set(CPACK_PACKAGE_CONTACT "Vumo DFU developers")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/")

set(CPACK_DEBIAN_PACKAGE_NAME "vumo-dfu")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vumo DFU developers")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")

# Libraries are found by dpkg-shlibdeps where it exists; otherwise named here. The window's
# layout is measured for Liberation Sans, which no library dependency brings in.
find_program(VUMO_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VUMO_DPKG_SHLIBDEPS)
set(_vumo_depends)
if(VUMO_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  list(APPEND _vumo_depends "libc6" "libstdc++6" "libudev1" "libsystemd0")
  if(TARGET vumo-dfu-utility)
    list(APPEND _vumo_depends "libqt6core6" "libqt6gui6" "libqt6widgets6")
  endif()
endif()
if(TARGET vumo-dfu-utility)
  list(APPEND _vumo_depends "fonts-liberation2")
endif()
list(JOIN _vumo_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# uaccess is applied by udev together with logind.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")

set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${_vumo_pkg}/debian/postinst ${_vumo_pkg}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

if(NOT CMAKE_INSTALL_PREFIX STREQUAL CPACK_PACKAGING_INSTALL_PREFIX)
  message(STATUS "The Debian package installs under ${CPACK_PACKAGING_INSTALL_PREFIX}: configure "
                 "with -DCMAKE_INSTALL_PREFIX=${CPACK_PACKAGING_INSTALL_PREFIX} before packaging "
                 "so that the paths built into the programs and manual pages agree")
endif()

include(CPack)
