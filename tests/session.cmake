# The server settings (flags, environment and configuration file), and lines read back for verify.
quarvel_add_test(test_session SOURCES session/ServerSettingsTest.cpp session/PostedLineTest.cpp LIBS quarvel_session quarvel_test_support
                 LABELS unit)
