# Server checks before writing, the resume journal, and both front ends using them,
# against the real InfluxDB server.
quarvel_add_test(test_preflight SOURCES preflight/PreflightTest.cpp preflight/JournalTest.cpp
                 LIBS quarvel_session quarvel_rtdb quarvel_datalog quarvel_sample quarvel_test_support LABELS server)

quarvel_add_test(test_preflight_cli SOURCES preflight/CheckCliTest.cpp
                 LIBS quarvel_sample quarvel_session quarvel_logging quarvel_test_support LABELS server)
add_dependencies(test_preflight_cli quarvel-cli)
target_compile_definitions(test_preflight_cli PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")

if(TARGET quarvel_app)
  add_executable(test_preflight_window preflight/WindowTest.cpp)
  target_link_libraries(test_preflight_window PRIVATE quarvel_app quarvel_sample quarvel_test_support Qt6::Test quarvel_warnings)
  set_target_properties(test_preflight_window PROPERTIES AUTOMOC ON)
  target_include_directories(test_preflight_window PRIVATE app)
  add_test(NAME preflight_window COMMAND test_preflight_window)
  set_tests_properties(preflight_window PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
                                                   LABELS "gui;server")
endif()
