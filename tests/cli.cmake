# quarvel-cli end to end: the real binary as a child process, against a real InfluxDB server.
# test_cli: the conversions; test_secured_cli: logins, tokens, https and refusals against
# private servers with users and certificates; test_check_cli: the server checks, resume and
# verify; test_rdb_cli: the table commands over real files; test_follow_cli: follow against a
# node that keeps writing; test_victoria_cli: conversions, checks and verify against VictoriaMetrics.
quarvel_add_test(test_cli SOURCES cli/CliTest.cpp LIBS quarvel_test_support quarvel_sample quarvel_session LABELS server)
quarvel_add_test(test_secured_cli SOURCES cli/SecuredCliTest.cpp LIBS quarvel_test_support quarvel_sample LABELS server)
quarvel_add_test(test_check_cli SOURCES cli/CheckCliTest.cpp
                 LIBS quarvel_sample quarvel_session quarvel_logging quarvel_test_support LABELS server)
quarvel_add_test(test_rdb_cli SOURCES cli/RdbCliTest.cpp LIBS quarvel_sample quarvel_table_files quarvel_test_support
                 LABELS server)
quarvel_add_test(test_follow_cli SOURCES cli/FollowCliTest.cpp LIBS quarvel_influx quarvel_test_support LABELS server)
quarvel_add_test(test_victoria_cli SOURCES cli/VictoriaCliTest.cpp LIBS quarvel_test_support quarvel_sample quarvel_influx
                 LABELS server)
foreach(name test_cli test_secured_cli test_check_cli test_rdb_cli test_follow_cli test_victoria_cli)
  add_dependencies(${name} quarvel-cli)
  target_compile_definitions(${name} PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")
endforeach()
