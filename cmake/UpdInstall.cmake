# Installation layout and Debian packages.
#
#   bin/                 Zelvan, updclient (component client); updserver,
#                        filelist, updctl (component server)
#   lib/                 libupdclient.so (client)
#   include/zelvan/      UpdClient.h (client)
#   share/zelvan/launcher/  the launcher's pages, art, texts and game.ini: the
#                        template of a player's installation folder (client)
#   lib/systemd/system/  updserver.service (server)
#   lib/tmpfiles.d/      updserver.conf: the log and state folders (server)
#   etc/updserver/       updserver.conf, ignore.txt (server); /etc itself when the
#                        prefix is /usr, as in the packages
#
# cpack -G DEB makes one package per component.
#
# The Windows build lays out a player's folder instead (cmake/UpdInstallWin32.cmake).

if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/UpdInstallWin32.cmake)
    return()
endif()

include(GNUInstallDirs)

set(UPD_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
foreach(t Zelvan updclient_tool)
    if(TARGET ${t})
        set_target_properties(${t} PROPERTIES INSTALL_RPATH "${UPD_RPATH}")
        install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
    endif()
endforeach()
if(TARGET updclient)
    install(TARGETS updclient LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client)
    install(FILES ${PROJECT_SOURCE_DIR}/newupdatesystem/client/UpdClient.h
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zelvan COMPONENT client)
endif()
if(TARGET Zelvan)
    set(launcher_share ${CMAKE_INSTALL_DATADIR}/zelvan/launcher)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/launcher_resources DESTINATION ${launcher_share} COMPONENT client)
    install(FILES ${PROJECT_SOURCE_DIR}/demo/game.ini ${PROJECT_SOURCE_DIR}/demo/english.lng
                  ${PROJECT_SOURCE_DIR}/demo/russian.lng
            DESTINATION ${launcher_share} COMPONENT client)
endif()

foreach(t updserver filelist updctl)
    if(TARGET ${t})
        set_target_properties(${t} PROPERTIES INSTALL_RPATH "${UPD_RPATH}")
        install(TARGETS ${t} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
    endif()
endforeach()
if(TARGET updserver)
    # The unit names the installed binary, and the configuration goes to /etc
    # for a /usr prefix: both are only known when installing, not when
    # configuring (cpack installs with its own prefix).
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            set(UPD_ETC \"/etc\")
        else()
            set(UPD_ETC \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}\")
        endif()
        set(UPD_INSTALL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        configure_file(\"${PROJECT_SOURCE_DIR}/packaging/updserver.service\"
                       \"${PROJECT_BINARY_DIR}/packaging/updserver.service\" @ONLY)
        file(INSTALL \"${PROJECT_BINARY_DIR}/packaging/updserver.service\"
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
        file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/updserver.conf\" DESTINATION \"\${UPD_ETC}/updserver\")
        file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/ignore.txt\" DESTINATION \"\${UPD_ETC}/updserver\")
        file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/updserver.tmpfiles\"
             DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/tmpfiles.d\" RENAME updserver.conf)
    " COMPONENT server)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/operations.md
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelvan-server COMPONENT server OPTIONAL)
endif()

set(CPACK_PACKAGE_NAME zelvan)
set(CPACK_PACKAGE_VENDOR "Zelvan")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Zelvan operators <ops@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game launcher, update client and update server")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME zelvan-launcher)
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "libc6, libstdc++6, zlib1g, libdeflate0, libssl3, libgtk-3-0, libwebkit2gtk-4.1-0")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "Game launcher, update client library and updclient")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME zelvan-server)
# updctl carries its own copy of the client library: the server's package
# neither needs libupdclient.so nor pulls in the launcher's GTK and WebKit.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libc6, libstdc++6, zlib1g, libdeflate0, libssl3, adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "haproxy, rsync")
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Update server as a systemd service, filelist and updctl")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/deb-server/postinst;${PROJECT_SOURCE_DIR}/packaging/deb-server/postrm;${PROJECT_SOURCE_DIR}/packaging/deb-server/conffiles")
include(CPack)
