# libFuzzer target of the listing parsers (Unix LIST, DOS/IIS, MLSD) and listing times.
ombrex_fuzzer(listing_parsers SOURCES ${CMAKE_CURRENT_LIST_DIR}/listing_parsers_fuzz.cpp LIBS listing)
