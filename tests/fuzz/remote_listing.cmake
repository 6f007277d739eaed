# libFuzzer target of the folder walk's listing adapter: entries, link targets, the names
# that are refused and the remote paths built from them.
ombrex_fuzzer(remote_listing SOURCES ${CMAKE_CURRENT_LIST_DIR}/remote_listing_fuzz.cpp LIBS transfer)
