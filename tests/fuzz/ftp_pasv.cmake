# libFuzzer target of the PASV reply parser.
ombrex_fuzzer(ftp_pasv SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_pasv_fuzz.cpp LIBS ftp)
