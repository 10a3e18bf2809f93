# Where `cmake --install` and the Debian package put things. Included at the
# end of the top CMakeLists.txt, after every target is defined: the helper
# programs, the desktop entry and the icon are installed only when this tree
# has them.
include(GNUInstallDirs)

install(TARGETS brickfix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The network helper, a private program that brickfix finds relative to its
# own folder. It gets its capabilities (and its group) after installation.
install(TARGETS brickfix-nethelper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/brickfix)

# The folder of the run lock (/run/brickfix), made at each boot; the
# package's postinst makes it at once.
install(FILES packaging/debian/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME brickfix.conf)

# The local cloud stand-in and the router simulator, under names that say
# which program they belong to.
foreach(helper IN ITEMS brickfix-cloud brickfix-routersim)
  if(TARGET ${helper})
    install(TARGETS ${helper} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The desktop entry, its icon and the polkit action come with the desktop
# window (src/ui/qt), which installs them.
set(BRICKFIX_DESKTOP_FILE ${PROJECT_SOURCE_DIR}/resources/brickfix.desktop.in)

# The manual page gets the version from project(), and is installed
# compressed, as man-db and Debian expect; -n keeps the time stamp out so
# that the package builds the same each time.
set(BRICKFIX_MANPAGE ${CMAKE_BINARY_DIR}/docs/brickfix.1)
set(BRICKFIX_MANPAGE_GZ ${BRICKFIX_MANPAGE}.gz)
configure_file(docs/brickfix.1.in ${BRICKFIX_MANPAGE} @ONLY)
add_custom_command(
  OUTPUT ${BRICKFIX_MANPAGE_GZ}
  COMMAND gzip -9 -n -c ${BRICKFIX_MANPAGE} > ${BRICKFIX_MANPAGE_GZ}
  DEPENDS ${BRICKFIX_MANPAGE}
  COMMENT "Compressing the manual page")
add_custom_target(brickfix_manpage ALL DEPENDS ${BRICKFIX_MANPAGE_GZ})
install(FILES ${BRICKFIX_MANPAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/README.md)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
