# libFuzzer target of the FTP over TLS steps (AUTH, PBSZ, PROT, fallbacks), through a
# loopback peer that speaks TLS after "234".
ombrex_fuzzer(ftp_tls
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ftp_tls_fuzz.cpp ${CMAKE_CURRENT_LIST_DIR}/FuzzLoopback.cpp
  LIBS ftp Qt6::Core OpenSSL::SSL)
