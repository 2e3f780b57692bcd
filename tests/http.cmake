# The HTTP write transport, against a real InfluxDB server and a loopback fake.
find_package(ZLIB REQUIRED)
quarvel_add_test(test_http SOURCES http/HttpPostTest.cpp http/ConnectionTest.cpp
                 LIBS quarvel_influx quarvel_test_support ZLIB::ZLIB LABELS server)
