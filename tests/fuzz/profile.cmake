# libFuzzer target of the settings-file reader and writer.
ombrex_fuzzer(profile SOURCES ${CMAKE_CURRENT_LIST_DIR}/profile_fuzz.cpp LIBS platform)
