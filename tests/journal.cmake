# The batch journal and where the API key is kept.
vorpane_add_test(journal LIBS vorpane_batch vorpane_keyring)
# The same test binary against a real Secret Service, in a private D-Bus session whose keyring
# lives in the build folder (skipped where gnome-keyring is not installed).
find_program(VORPANE_DBUS_RUN_SESSION dbus-run-session)
find_program(VORPANE_GNOME_KEYRING gnome-keyring-daemon)
if(VORPANE_DBUS_RUN_SESSION AND VORPANE_GNOME_KEYRING)
  set(_home ${CMAKE_CURRENT_BINARY_DIR}/secret-service-home)
  add_test(NAME journal_secret_service
    COMMAND ${VORPANE_DBUS_RUN_SESSION} -- sh -c "rm -rf \"$HOME\" && mkdir -p \"$HOME\" && printf x | \"$1\" --unlock --components=secrets >/dev/null && \"$2\" secretServiceKeepsTheKey"
            sh ${VORPANE_GNOME_KEYRING} $<TARGET_FILE:tst_journal>)
  set_tests_properties(journal_secret_service PROPERTIES TIMEOUT 60 ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;VORPANE_TEST_SECRET_SERVICE=1;HOME=${_home};XDG_DATA_HOME=${_home}/share;XDG_CONFIG_HOME=${_home}/config;XDG_RUNTIME_DIR=${_home}")
endif()
