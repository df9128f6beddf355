# The Linux install and the Debian package (CPack's DEB generator, dependencies from
# dpkg-shlibdeps).
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The IFD handler is a plug-in of pcscd, named by path in a reader entry: a private folder, not
# the shared-library path. Under the multiarch folder, as Debian has it (which also keeps CPack
# from adding ldconfig calls that a plug-in does not need).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(ZARN_SIM_IFD_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/${PROJECT_NAME})
else()
  set(ZARN_SIM_IFD_DIR ${CMAKE_INSTALL_LIBDIR}/${PROJECT_NAME})
endif()
set(gz ${CMAKE_CURRENT_BINARY_DIR}/gz)

# Man pages and the changelog are installed gzipped (-9n: the same bytes on every build).
function(zarn_gzip_configured source output)
  configure_file(${source} ${gz}/${output} @ONLY)
  add_custom_command(OUTPUT ${gz}/${output}.gz
    COMMAND gzip -9nkf ${gz}/${output}
    DEPENDS ${gz}/${output} VERBATIM)
  list(APPEND ZARN_GZIPPED ${gz}/${output}.gz)
  set(ZARN_GZIPPED ${ZARN_GZIPPED} PARENT_SCOPE)
endfunction()

# The man page names the handler's place in the Debian package (installed under /usr).
set(ZARN_SIM_IFD_PATH /usr/${ZARN_SIM_IFD_DIR}/libzarn_sim_ifd.so)
zarn_gzip_configured(man/zarn-upgrade.1 zarn-upgrade.1)
zarn_gzip_configured(man/zarn-reader-sim.1 zarn-reader-sim.1)
zarn_gzip_configured(debian/changelog.in changelog)
add_custom_target(zarn_gzipped ALL DEPENDS ${ZARN_GZIPPED})
add_dependencies(zarn_package_contents zarn-upgrade zarn-reader-sim zarn_sim_ifd zarn_gzipped)

# The installed pcscd helper finds the installed handler by its place relative to itself.
file(RELATIVE_PATH ifd_from_bin /${CMAKE_INSTALL_BINDIR} /${ZARN_SIM_IFD_DIR}/libzarn_sim_ifd.so)
file(READ ${PROJECT_SOURCE_DIR}/scripts/sim-pcscd sim_pcscd)
string(REPLACE "\ninstalled_ifd=\"\"\n" "\ninstalled_ifd=\"${ifd_from_bin}\"\n" sim_pcscd
       "${sim_pcscd}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/zarn-reader-sim-pcscd "${sim_pcscd}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/scripts/sim-pcscd)

install(TARGETS zarn-upgrade zarn-reader-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS zarn_sim_ifd LIBRARY DESTINATION ${ZARN_SIM_IFD_DIR})
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/zarn-reader-sim-pcscd
        DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${gz}/zarn-upgrade.1.gz ${gz}/zarn-reader-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
file(CREATE_LINK zarn-reader-sim.1.gz ${gz}/zarn-reader-sim-pcscd.1.gz SYMBOLIC)
install(FILES ${gz}/zarn-reader-sim-pcscd.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${gz}/changelog.gz debian/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md")
# devcon for Linux: the tool's device restart (./i386/devcon) through sysfs (docs/hardware.md).
install(PROGRAMS linux/devcon DESTINATION ${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# python3 for devcon; mount for zarn-reader-sim-pcscd (its unshare is util-linux's, essential);
# dpkg-shlibdeps adds the libraries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, mount")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pcscd)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary line in front of it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"zarn-upgrade upgrades the firmware of a Zarn smart-card reader attached to a
COM port or to USB (as a PC/SC reader through the CCID escape, or through the
reader's own USB driver channel). The firmware images are built in.
.
zarn-reader-sim is a simulated reader behind a pseudo-terminal, a PC/SC IFD
handler and the USB driver channel, for trying the tool without hardware.")
