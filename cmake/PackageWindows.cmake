# The Windows installer (NSIS) and a .zip of the same files, built by
# `cpack` in the Windows build folder: brickfix.exe and README.txt. The
# installer puts them under Program Files with a Start-menu shortcut and an
# uninstaller, and lets the router's TFTP requests through Windows Firewall:
# the router's link is an unidentified network, whose public profile drops
# unsolicited datagrams to UDP port 69. The rule lets in only what the router
# sends in recovery mode: to this program, UDP port 69, at 192.168.1.88, from
# 192.168.1.0/24. The uninstaller removes the rule.
install(TARGETS brickfix RUNTIME DESTINATION .)
set(BRICKFIX_README_TXT ${CMAKE_BINARY_DIR}/packaging/README.txt)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${BRICKFIX_README_TXT} @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${BRICKFIX_README_TXT} DESTINATION .)

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME brickfix)
set(CPACK_PACKAGE_VENDOR Brickfix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "brings a Terno router back from damaged firmware")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Brickfix)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Brickfix)
set(CPACK_PACKAGE_EXECUTABLES brickfix Brickfix)  # the Start-menu shortcut
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_STRIP_FILES ON)

set(CPACK_NSIS_PACKAGE_NAME "Brickfix ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "Brickfix")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer for a 64-bit program: the native Program Files and
# registry, and $SYSDIR is the native system folder.
set(CPACK_NSIS_DEFINES "Target amd64-unicode\n  !define MUI_STARTMENUPAGE_DEFAULTFOLDER Brickfix")
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MUI_ICON ${CMAKE_BINARY_DIR}/resources/brickfix.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_BINARY_DIR}/resources/brickfix.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME brickfix.exe)
set(BRICKFIX_FIREWALL_RULE "name=\\\"Brickfix TFTP\\\" program=\\\"$INSTDIR\\\\brickfix.exe\\\"")
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS
    "ExecWait '\\\"$SYSDIR\\\\netsh.exe\\\" advfirewall firewall add rule ${BRICKFIX_FIREWALL_RULE} protocol=UDP localport=69 localip=192.168.1.88 remoteip=192.168.1.0/24 dir=in action=allow'")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
    "ExecWait '\\\"$SYSDIR\\\\netsh.exe\\\" advfirewall firewall delete rule ${BRICKFIX_FIREWALL_RULE}'")
include(CPack)
