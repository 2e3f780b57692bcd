# The data-log folder walk and the DAT reader.
quarvel_add_test(test_datalog SOURCES datalog/DataLogConverterTest.cpp
                 LIBS quarvel_datalog quarvel_sample quarvel_logging quarvel_test_support LABELS server)
add_dependencies(test_datalog debug-screen)
target_compile_definitions(test_datalog PRIVATE QUARVEL_DEBUG_SCREEN_TOOL="$<TARGET_FILE:debug-screen>")
# Two data-log conversions and a table export at once (the ThreadSanitizer run's main case).
quarvel_add_test(test_concurrent_conversion SOURCES datalog/ConcurrentConversionTest.cpp
                 LIBS quarvel_rtdb quarvel_datalog quarvel_sample quarvel_logging quarvel_test_support LABELS server)
