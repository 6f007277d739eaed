# libFuzzer target of the regular-expression engine: arbitrary pattern/subject pairs.
ombrex_fuzzer(regex SOURCES ${CMAKE_CURRENT_LIST_DIR}/regex_fuzz.cpp LIBS regex)
