# The rolling log file and the Debug Screen channel.
quarvel_add_test(test_logging SOURCES logging/LoggingTest.cpp LIBS quarvel_logging quarvel_test_support LABELS unit)

quarvel_add_test(test_debug_screen SOURCES logging/DebugScreenTest.cpp
                 LIBS quarvel_logging quarvel_platform quarvel_test_support LABELS unit)
# The tool is run as a child process, straight from where the build puts it.
add_dependencies(test_debug_screen debug-screen)
target_compile_definitions(test_debug_screen PRIVATE QUARVEL_DEBUG_SCREEN_TOOL="$<TARGET_FILE:debug-screen>")
