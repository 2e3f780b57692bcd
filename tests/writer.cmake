add_library(quarvel_snprintf_format STATIC support/SnprintfFormat.cpp)
target_include_directories(quarvel_snprintf_format PUBLIC support)
target_link_libraries(quarvel_snprintf_format PUBLIC quarvel_influx PRIVATE quarvel_warnings)

quarvel_add_test(test_line_format SOURCES writer/LineFormatTest.cpp LIBS quarvel_influx quarvel_snprintf_format LABELS unit)
quarvel_add_test(test_writer SOURCES writer/RyInfluxDBTest.cpp LIBS quarvel_influx LABELS unit)
quarvel_add_test(test_writer_server SOURCES writer/WriterServerTest.cpp
                 LIBS quarvel_influx quarvel_snprintf_format quarvel_test_support LABELS server)
