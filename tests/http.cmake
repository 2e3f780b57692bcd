# The HTTP write transport, against a real InfluxDB server and a loopback fake.
quarvel_add_test(test_http SOURCES http/HttpPostTest.cpp LIBS quarvel_influx quarvel_test_support)
