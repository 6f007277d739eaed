# libFuzzer target of the remote listing: line splitting, the listing parser (regex engine),
# remote rows and their order.
ombrex_fuzzer(listing SOURCES ${CMAKE_CURRENT_LIST_DIR}/listing_fuzz.cpp LIBS app)
