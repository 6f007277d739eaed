# Test helpers: every GoogleTest case is registered with CTest by name, prefixed with
# its module ("regex.", "socket.", ...), so `ctest -R socket` runs one module.
find_package(GTest REQUIRED)
include(GoogleTest)

# In a sanitized tree every test and fuzz program carries the sanitizers' default options
# (suppression files under tests/sanitizers/, stack traces, stop at the first UB report).
set(OMBREX_SANITIZER_DEFAULTS ${PROJECT_SOURCE_DIR}/tests/sanitizers/SanitizerDefaults.cpp)
function(ombrex_sanitizer_defaults target)
  if(OMBREX_SANITIZE OR OMBREX_FUZZ OR OMBREX_TSAN)
    target_sources(${target} PRIVATE ${OMBREX_SANITIZER_DEFAULTS})
    # Source properties belong to a directory: set them where the target lives.
    set_source_files_properties(${OMBREX_SANITIZER_DEFAULTS} TARGET_DIRECTORY ${target} PROPERTIES
      COMPILE_DEFINITIONS "OMBREX_SANITIZER_DIR=\"${PROJECT_SOURCE_DIR}/tests/sanitizers\"")
  endif()
endfunction()

# ombrex_gtest(module target SOURCES ... LIBS ... [GUI|CORE] [SERIAL] [TIMEOUT seconds])
#   GUI:  main() creates a QApplication (offscreen unless a platform is set).
#   CORE: main() creates a QCoreApplication.
#   neither: plain gtest main without Qt.
#   SERIAL: the cases do not run in parallel with other tests (servers, timing).
function(ombrex_gtest module target)
  cmake_parse_arguments(ARG "GUI;CORE;SERIAL" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${target} ${ARG_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  ombrex_sanitizer_defaults(${target})
  if(ARG_GUI)
    target_link_libraries(${target} PRIVATE ombrex_test_main_gui)
  elseif(ARG_CORE)
    target_link_libraries(${target} PRIVATE ombrex_test_main_core)
  else()
    target_link_libraries(${target} PRIVATE GTest::gtest_main)
  endif()
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock ${ARG_LIBS})
  set(props ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT ${ARG_TIMEOUT})
  if(ARG_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${target}
    TEST_PREFIX "${module}."
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()

# ombrex_fuzzer(name SOURCES ... LIBS ...): a libFuzzer target <name>_fuzz (clang only).
function(ombrex_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name}_fuzz ${ARG_SOURCES})
  ombrex_sanitizer_defaults(${name}_fuzz)
  target_include_directories(${name}_fuzz PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name}_fuzz PRIVATE ${ARG_LIBS})
endfunction()
