# What `cmake --install` puts on the system, and the two Debian packages `cpack -G DEB` makes of
# it: `wispline` (component client) and `wispline-server` (component server).
include(GNUInstallDirs)

set(WISPLINE_APP_ID org.wispline.Wispline)
set(_pkg ${CMAKE_CURRENT_LIST_DIR})

# Client: the program, its desktop entry, icon, metainfo and man page.
install(TARGETS wispline RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES ${_pkg}/${WISPLINE_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT client)
foreach(size 16 32 48 64)
    install(FILES ${_pkg}/icons/wispline-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME wispline.png COMPONENT client)
endforeach()
configure_file(${_pkg}/${WISPLINE_APP_ID}.metainfo.xml
               ${CMAKE_BINARY_DIR}/packaging/${WISPLINE_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${WISPLINE_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT client)
configure_file(${_pkg}/wispline.1 ${CMAKE_BINARY_DIR}/packaging/wispline.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/wispline.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)

# Server: the program, its systemd unit and system user, its man page.
if(WISPLINE_BUILD_SERVER)
    install(TARGETS wispline-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
    # The unit names the installed program, so it is written at install time, when the prefix
    # (`--prefix`, or /usr inside a package) is known.
    install(CODE "
        set(WISPLINE_SERVER_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/wispline-server\")
        configure_file(\"${_pkg}/wispline-server.service\"
                       \"${CMAKE_BINARY_DIR}/packaging/wispline-server.service\" @ONLY)"
            COMPONENT server)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/wispline-server.service
            DESTINATION lib/systemd/system COMPONENT server)
    install(FILES ${_pkg}/wispline-server.sysusers
            DESTINATION lib/sysusers.d RENAME wispline-server.conf COMPONENT server)
    configure_file(${_pkg}/wispline-server.1 ${CMAKE_BINARY_DIR}/packaging/wispline-server.1 @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/wispline-server.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
endif()

set(CPACK_PACKAGE_NAME wispline)
set(CPACK_PACKAGE_VENDOR "Wispline")
set(CPACK_PACKAGE_CONTACT "Wispline developers <wispline@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Chat and alert client for an organisation")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps its debug information; the packages do not.
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client)
if(WISPLINE_BUILD_SERVER)
    list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME wispline)
# The windows' captions are laid out for Times New Roman: Liberation Serif has its widths, where
# another serif face would cut them.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "fonts-liberation2")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "Chat and alert client for an organisation's message server\n\
Logs on to the organisation's message server, shows the connected users in three level lists \
and sends short messages to selected users or to whole levels. Incoming messages show in \
colour, in a pop-up at the screen corner and as a flashing caption.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME wispline-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
# The SQLite driver is a plugin Qt loads at run time, and OpenLDAP's client library is loaded
# when a directory is configured: shlibdeps sees neither.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libqt6sql6-sqlite, adduser")
if(WISPLINE_LDAP_DEPENDS)
    string(APPEND CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS ", ${WISPLINE_LDAP_DEPENDS}")
endif()
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Message server for Wispline clients\n\
Keeps the user accounts, routes messages between connected users, keeps messages for users \
who are not connected and serves the day's messages, in one SQLite database. Runs as the \
systemd service wispline-server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${_pkg}/debian/postinst ${_pkg}/debian/prerm ${_pkg}/debian/postrm)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)

if(WISPLINE_BUILD_TESTS)
    add_test(NAME desktop_integration_files
             COMMAND sh ${_pkg}/validate.sh ${_pkg}/${WISPLINE_APP_ID}.desktop
                     ${CMAKE_BINARY_DIR}/packaging/${WISPLINE_APP_ID}.metainfo.xml)
    set_tests_properties(desktop_integration_files PROPERTIES SKIP_RETURN_CODE 77)
endif()
