# The writer: the line format; the HTTP transport and the server checks against a real InfluxDB
# server and a loopback fake; unsent-line files; retries against the fake for the faults a real
# server cannot show on cue, and against a private InfluxDB server of the tests' own, killed,
# stopped and emptied under a running conversion.
find_package(ZLIB REQUIRED)
add_library(quarvel_snprintf_format STATIC support/SnprintfFormat.cpp)
target_include_directories(quarvel_snprintf_format PUBLIC support)
target_link_libraries(quarvel_snprintf_format PUBLIC quarvel_influx PRIVATE quarvel_warnings)

quarvel_add_test(test_line_format SOURCES influx/LineFormatTest.cpp LIBS quarvel_influx quarvel_snprintf_format LABELS unit)
quarvel_add_test(test_writer SOURCES influx/RyInfluxDBTest.cpp LIBS quarvel_influx LABELS unit)
quarvel_add_test(test_writer_server SOURCES influx/WriterServerTest.cpp
                 LIBS quarvel_influx quarvel_snprintf_format quarvel_test_support LABELS server)
quarvel_add_test(test_http SOURCES influx/HttpPostTest.cpp influx/ConnectionTest.cpp
                 LIBS quarvel_influx quarvel_test_support ZLIB::ZLIB LABELS server)
# The server checks, and the sample ages from data-log and table files they compare with the policies.
quarvel_add_test(test_preflight SOURCES influx/PreflightTest.cpp
                 LIBS quarvel_session quarvel_table_files quarvel_test_support LABELS server)

quarvel_add_test(test_unsent SOURCES influx/UnsentTest.cpp LIBS quarvel_influx LABELS fault)
quarvel_add_test(test_retry SOURCES influx/RetryTest.cpp LIBS quarvel_influx quarvel_logging quarvel_test_support
                 LABELS fault)
quarvel_add_test(test_faults SOURCES influx/FaultTest.cpp
                 LIBS quarvel_datalog quarvel_sample quarvel_logging quarvel_test_support LABELS fault server)
add_dependencies(test_faults quarvel-cli)
target_compile_definitions(test_faults PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")
