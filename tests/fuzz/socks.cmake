# libFuzzer target of the SOCKS 4/4A/5 client, through a loopback peer playing the proxy.
ombrex_fuzzer(socks
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/socks_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/FuzzLoopback.cpp
  LIBS socket Qt6::Core)
