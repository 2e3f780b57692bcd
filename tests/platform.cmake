# The stand-ins for the directory listing, the progress list box and the INI reader.
quarvel_add_test(test_platform SOURCES platform/FindFileTest.cpp platform/ProgressListTest.cpp platform/IniTest.cpp platform/CodePageTest.cpp LIBS quarvel_platform quarvel_test_support LABELS unit)
