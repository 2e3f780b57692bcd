# The operator's window: QtTest suites on the offscreen platform, the conversions against
# the real InfluxDB server that scripts/test starts.
if(TARGET quarvel_app)
  add_executable(test_app_dialog app/DialogTest.cpp app/AppTestSupport.h)
  target_link_libraries(test_app_dialog PRIVATE quarvel_app Qt6::Test quarvel_warnings)

  add_executable(test_app_conversion app/ConversionTest.cpp app/AppTestSupport.h)
  target_link_libraries(test_app_conversion PRIVATE quarvel_app quarvel_sample quarvel_test_support Qt6::Test quarvel_warnings)

  foreach(name dialog conversion)
    set_target_properties(test_app_${name} PROPERTIES AUTOMOC ON)
    target_include_directories(test_app_${name} PRIVATE app support)
    add_test(NAME app_${name} COMMAND test_app_${name})
    set_tests_properties(app_${name} PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS gui)
  endforeach()
  set_property(TEST app_conversion APPEND PROPERTY LABELS server)
endif()
