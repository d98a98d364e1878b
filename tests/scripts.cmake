# scripts/run, started for real under a virtual display (skipped without xvfb-run).
if(TARGET vorpane-server)
  add_test(NAME scripts_run COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run_script.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(scripts_run PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 DEPENDS "vorpane;vorpane-server")
endif()
