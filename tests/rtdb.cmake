# The table libraries over real files, and the table export against a real InfluxDB server.
quarvel_add_test(test_table_files SOURCES rtdb/TableFileTest.cpp LIBS quarvel_table_files quarvel_test_support LABELS unit)
quarvel_add_test(test_rtdb SOURCES rtdb/RtdbConverterTest.cpp
                 LIBS quarvel_rtdb quarvel_sample quarvel_logging quarvel_test_support LABELS server)
