# scripts/run, started for real under a virtual display (skipped without xvfb-run).
if(TARGET vorpane-server)
  add_test(NAME scripts_run COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/run_script.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(scripts_run PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 DEPENDS "vorpane;vorpane-server")
endif()

# A service URL that would send the key in clear over a network is refused before any window.
add_test(NAME app_refuses_remote_http
  COMMAND sh -c "\"$1\" --service-url http://service.example.org/api/v1/ 2>err.txt; s=$?; cat err.txt; [ $s -eq 2 ] && [ -s err.txt ]"
          sh $<TARGET_FILE:vorpane>)
add_test(NAME app_refuses_malformed_url
  COMMAND sh -c "\"$1\" --service-url 'not a url' >/dev/null 2>&1; [ $? -eq 2 ]" sh $<TARGET_FILE:vorpane>)
set_tests_properties(app_refuses_remote_http app_refuses_malformed_url PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen" WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
