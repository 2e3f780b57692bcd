# The table libraries over real files, the table export against a real InfluxDB server,
# and quarvel-cli's table commands as child processes.
quarvel_add_test(test_table_files SOURCES rtdb/TableFileTest.cpp LIBS quarvel_table_files quarvel_test_support LABELS unit)
quarvel_add_test(test_rtdb SOURCES rtdb/RtdbConverterTest.cpp
                 LIBS quarvel_rtdb quarvel_sample quarvel_logging quarvel_test_support LABELS server)
quarvel_add_test(test_rdb_cli SOURCES rtdb/RdbCliTest.cpp LIBS quarvel_sample quarvel_table_files quarvel_test_support LABELS server)
add_dependencies(test_rdb_cli quarvel-cli)
target_compile_definitions(test_rdb_cli PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")
