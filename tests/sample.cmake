# The sample node generator over real files.
quarvel_add_test(test_sample_node SOURCES sample/SampleNodeTest.cpp
                 LIBS quarvel_sample quarvel_table_files quarvel_test_support LABELS unit)
