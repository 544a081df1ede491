# A player's installation folder, as cmake --install of the Windows build lays
# it out, and the installer that makes one (cpack -G NSIS).
#
#   Zelvan.exe               the launcher
#   updclient.dll            the update client it loads, beside it: the
#                            self-update replaces files of this one folder only
#   launcher_resources/      the local pages, their pictures under art/
#   english.lng, russian.lng the texts
#   game.ini                 the default realms and pages
#
# The installer installs for the current user only, into a folder the user
# owns, so the launcher can replace its own files without administrator rights.

if(TARGET Zelvan)
    install(PROGRAMS $<TARGET_FILE:Zelvan> DESTINATION . COMPONENT client)
endif()
if(TARGET updclient)
    install(PROGRAMS $<TARGET_FILE:updclient> DESTINATION . COMPONENT client)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/launcher_resources DESTINATION . COMPONENT client)
install(FILES ${PROJECT_SOURCE_DIR}/demo/game.ini ${PROJECT_SOURCE_DIR}/demo/english.lng
              ${PROJECT_SOURCE_DIR}/demo/russian.lng
        DESTINATION . COMPONENT client)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME Zelvan)
set(CPACK_PACKAGE_VENDOR "Zelvan")
set(CPACK_PACKAGE_VERSION "1.0.0")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zelvan game launcher")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Zelvan)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Zelvan)
set(CPACK_PACKAGE_FILE_NAME "Zelvan-${CPACK_PACKAGE_VERSION}-setup")
set(CPACK_MONOLITHIC_INSTALL ON)
set(CPACK_NSIS_PACKAGE_NAME "Zelvan")
set(CPACK_NSIS_DISPLAY_NAME "Zelvan")
set(CPACK_NSIS_UNINSTALL_NAME "Uninstall")
# Our own script (packaging/nsis/NSIS.template.in): CPack's asks for
# administrator rights and installs for all users.
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/nsis)
include(CPack)
