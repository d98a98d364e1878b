# The batch pipeline: upload, result saving and the run controller, against the scripted server.
vorpane_add_test(pipeline LIBS vorpane_batch)

# End to end against the real reference service, when it is part of the build.
if(TARGET vorpane-server)
  vorpane_add_test(e2e LIBS vorpane_batch)
  target_compile_definitions(tst_e2e PRIVATE VORPANE_SERVER_PATH="$<TARGET_FILE:vorpane-server>")
  add_dependencies(tst_e2e vorpane-server)
endif()
