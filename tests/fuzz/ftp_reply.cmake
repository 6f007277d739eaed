# libFuzzer target of the FTP engine's reply reader, through a loopback peer.
ombrex_fuzzer(ftp_reply
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_reply_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/FuzzLoopback.cpp
  LIBS ftp Qt6::Core)
