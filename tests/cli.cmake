# quarvel-cli end to end: the real binary as a child process, against a real InfluxDB server.
quarvel_add_test(test_cli SOURCES cli/CliTest.cpp LIBS quarvel_test_support quarvel_sample quarvel_session LABELS server)
add_dependencies(test_cli quarvel-cli)
target_compile_definitions(test_cli PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")

# Logins, tokens, https and refusals, against private servers with users and certificates.
quarvel_add_test(test_secured_cli SOURCES cli/SecuredCliTest.cpp LIBS quarvel_test_support quarvel_sample LABELS server)
add_dependencies(test_secured_cli quarvel-cli)
target_compile_definitions(test_secured_cli PRIVATE QUARVEL_CLI="$<TARGET_FILE:quarvel-cli>")
