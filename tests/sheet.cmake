# The settings sheet and its preview window.
vorpane_add_test(sheet LIBS vorpane_ui)
if(TARGET vorpane-server)
  # One case talks to the reference service itself.
  target_compile_definitions(tst_sheet PRIVATE VORPANE_SERVER_PATH="$<TARGET_FILE:vorpane-server>")
  add_dependencies(tst_sheet vorpane-server)
endif()
