# When the server fails: unsent-line files on disk, the writer against a loopback fake for
# the faults a real server cannot show on cue, and a private InfluxDB server of the tests'
# own, killed, stopped and emptied under a running conversion.
quarvel_add_test(test_unsent SOURCES faults/UnsentTest.cpp LIBS quarvel_influx LABELS fault)
quarvel_add_test(test_retry SOURCES faults/RetryTest.cpp LIBS quarvel_influx quarvel_logging quarvel_test_support
                 LABELS fault)

quarvel_add_test(test_faults SOURCES faults/FaultTest.cpp
                 LIBS quarvel_datalog quarvel_sample quarvel_logging quarvel_test_support LABELS fault server)
add_dependencies(test_faults quarvel-cli)
target_compile_definitions(test_faults PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")

# The window's table export waiting for the server on the window's own thread.
if(TARGET quarvel_app)
  add_executable(test_app_retry faults/WindowRetryTest.cpp)
  set_target_properties(test_app_retry PROPERTIES AUTOMOC ON)
  target_include_directories(test_app_retry PRIVATE app)
  target_link_libraries(test_app_retry PRIVATE quarvel_app quarvel_sample quarvel_test_support Qt6::Test quarvel_warnings)
  add_test(NAME app_retry COMMAND test_app_retry)
  set_tests_properties(app_retry PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                                            LABELS "gui;fault;server")
endif()
