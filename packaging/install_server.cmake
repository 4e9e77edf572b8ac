# Installs the server binary and its systemd unit. The unit names the installed binary by its
# full path, so it is written at install time, when the prefix is final (cmake --install --prefix).
include(GNUInstallDirs)

set(TOKEN_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the install prefix or absolute")

install(TARGETS token_server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(token_server_unit ${CMAKE_CURRENT_BINARY_DIR}/token-server.service)
install(CODE "
  set(token_server_path \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/token-server\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/token-server.service.in\" \"${token_server_unit}\" @ONLY)
")
install(FILES ${token_server_unit} DESTINATION ${TOKEN_SYSTEMD_UNIT_DIR})
