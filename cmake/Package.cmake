# The Debian package, built from the install rules with `cpack -G DEB`.
# Its maintainer scripts (packaging/debian) create the group "brickfix" and
# give the network helper /usr/libexec/brickfix/brickfix-nethelper to that
# group with the network capabilities, so that the group's members run the
# program without root; /usr/bin/brickfix itself is a plain program.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brickfix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Brickfix Developers <dev@brickfix.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "brings a Terno router back from damaged firmware")
set(CPACK_PACKAGE_DESCRIPTION
    "Brickfix fetches the newest firmware for the router (or uses the copy kept
in ./Rom), gives the PC's wired adapter a static address and serves the image
by TFTP to the router in recovery mode. Afterwards it reads the router's
result report, or waits until the router answers pings, and hands the adapter
back to DHCP.

It runs in a terminal window, in a desktop window, or in a line mode for
scripts, without any privilege of its own: a small helper that only the
members of the group brickfix may run holds the network rights.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Library dependencies come from what the installed programs actually link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Tools the maintainer scripts and the program run: groupadd/groupdel, setcap,
# and `ip` for the adapter.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd, libcap2-bin, iproute2")
# Handing the adapter back to DHCP needs a DHCP client, unless NetworkManager
# manages the adapter. The operator's texts are Chinese: a font with their
# glyphs for the windows.
set(BRICKFIX_RECOMMENDS
    "isc-dhcp-client | dhcpcd-base | busybox | network-manager, fonts-wqy-zenhei | fonts-noto-cjk")
if(EXISTS ${BRICKFIX_DESKTOP_FILE})
  file(READ ${BRICKFIX_DESKTOP_FILE} desktop_entry)
  if(desktop_entry MATCHES "pkexec")
    string(APPEND BRICKFIX_RECOMMENDS ", pkexec")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${BRICKFIX_RECOMMENDS}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
