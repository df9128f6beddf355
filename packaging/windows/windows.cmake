# The Windows zip: zarn-upgrade.exe with its version resource and manifest, a README for Windows
# users and the license, all in one folder.
set(ZARN_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/zarn-upgrade.manifest)
configure_file(windows/zarn-upgrade.manifest.in ${ZARN_MANIFEST} @ONLY)
configure_file(windows/zarn-upgrade.rc.in ${CMAKE_CURRENT_BINARY_DIR}/zarn-upgrade.rc @ONLY)
target_sources(zarn-upgrade PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/zarn-upgrade.rc)
set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/zarn-upgrade.rc TARGET_DIRECTORY zarn-upgrade
             APPEND PROPERTY OBJECT_DEPENDS ${ZARN_MANIFEST})
add_dependencies(zarn_package_contents zarn-upgrade)

install(TARGETS zarn-upgrade RUNTIME DESTINATION .)
install(FILES windows/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
