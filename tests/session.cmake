# The server settings: flags, environment and configuration file.
quarvel_add_test(test_session SOURCES session/ServerSettingsTest.cpp LIBS quarvel_session quarvel_test_support
                 LABELS unit)
