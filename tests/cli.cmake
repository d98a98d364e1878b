# The command-line program, run as a process against the scripted service and the real one.
vorpane_add_test(cli LIBS vorpane_batch)
target_compile_definitions(tst_cli PRIVATE VORPANE_CLI_PATH="$<TARGET_FILE:vorpane-cli>")
add_dependencies(tst_cli vorpane-cli)
if(TARGET vorpane-server)
  target_compile_definitions(tst_cli PRIVATE VORPANE_SERVER_PATH="$<TARGET_FILE:vorpane-server>")
  add_dependencies(tst_cli vorpane-server)
endif()
