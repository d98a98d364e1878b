# The main window and the logic behind its choices.
vorpane_add_test(options LIBS vorpane_batch)
vorpane_add_test(window LIBS vorpane_ui)
if(TARGET vorpane-server)
  # The full run through the window talks to the real reference service.
  target_compile_definitions(tst_window PRIVATE VORPANE_SERVER_PATH="$<TARGET_FILE:vorpane-server>")
  add_dependencies(tst_window vorpane-server)
endif()
# The review window, the run's progress, menus, remembered choices and the desktop's messages.
vorpane_add_test(review LIBS vorpane_ui)
add_test(NAME app_version COMMAND sh -c "\"$1\" --version | grep -qx 'vorpane ${PROJECT_VERSION}'" sh $<TARGET_FILE:vorpane>)
# The same layout check at a 1.5 scale factor.
add_test(NAME window_scaled COMMAND tst_window layoutHoldsAtTheMinimumSize)
set_tests_properties(window_scaled PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_SCALE_FACTOR=1.5" TIMEOUT 60)
