# The fuzz targets' code, shared by the libFuzzer programs and the replay test.
if(NOT TARGET quarvel_fuzz_targets)
  set(fuzz_dir ${PROJECT_SOURCE_DIR}/tests/fuzz)
  add_library(quarvel_fuzz_targets STATIC
    ${fuzz_dir}/FuzzSupport.cpp ${fuzz_dir}/LineProtocol.cpp
    ${fuzz_dir}/DatName.cpp ${fuzz_dir}/DatReader.cpp ${fuzz_dir}/TableFile.cpp ${fuzz_dir}/Ini.cpp
    ${fuzz_dir}/LineFormat.cpp)
  target_include_directories(quarvel_fuzz_targets PUBLIC ${fuzz_dir} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_link_libraries(quarvel_fuzz_targets
    PUBLIC quarvel_datalog quarvel_table_files quarvel_influx quarvel_platform
    PRIVATE quarvel_warnings)
endif()
