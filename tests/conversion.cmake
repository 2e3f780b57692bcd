# The resume journal, alone and under both converters against the real InfluxDB server.
quarvel_add_test(test_journal SOURCES conversion/JournalTest.cpp
                 LIBS quarvel_conversion quarvel_datalog quarvel_rtdb quarvel_sample quarvel_test_support LABELS server)
