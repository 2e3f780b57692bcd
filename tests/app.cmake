# The operator's window: QtTest suites on the offscreen platform; the conversions, the server
# checks and the table export waiting for the server, against the real InfluxDB server that
# scripts/test starts.
if(TARGET quarvel_app)
  # quarvel_add_app_test(NAME SOURCE LABELS LIBS...): test_app_NAME, run as the test app_NAME.
  function(quarvel_add_app_test name source labels)
    add_executable(test_app_${name} ${source} app/AppTestSupport.h)
    set_target_properties(test_app_${name} PROPERTIES AUTOMOC ON)
    target_include_directories(test_app_${name} PRIVATE app support)
    target_link_libraries(test_app_${name} PRIVATE quarvel_app ${ARGN} Qt6::Test quarvel_warnings)
    add_test(NAME app_${name} COMMAND test_app_${name})
    set_tests_properties(app_${name} PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS "${labels}")
  endfunction()

  quarvel_add_app_test(dialog app/DialogTest.cpp gui)
  quarvel_add_app_test(conversion app/ConversionTest.cpp "gui;server" quarvel_sample quarvel_test_support)
  quarvel_add_app_test(preflight app/PreflightWindowTest.cpp "gui;server" quarvel_sample quarvel_test_support)
  quarvel_add_app_test(retry app/WindowRetryTest.cpp "gui;fault;server" quarvel_sample quarvel_test_support)
endif()
