// Default options of the sanitizers for the programs of a sanitized tree (tests, fuzz
// targets): the suppression files beside this one, stack traces with every undefined-
// behaviour report, and a program that stops at the first one. The sanitizer runtimes call
// these hooks at start-up; ASAN_OPTIONS, LSAN_OPTIONS, UBSAN_OPTIONS and TSAN_OPTIONS in the
// environment still override them.
#ifndef OMBREX_SANITIZER_DIR
#error "OMBREX_SANITIZER_DIR must name the folder of the suppression files"
#endif

extern "C" {

const char* __lsan_default_options()
{
    return "suppressions=" OMBREX_SANITIZER_DIR "/lsan.supp";
}

const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1:suppressions=" OMBREX_SANITIZER_DIR "/ubsan.supp";
}

const char* __tsan_default_options()
{
    return "halt_on_error=0:second_deadlock_stack=1:suppressions=" OMBREX_SANITIZER_DIR "/tsan.supp";
}

} // extern "C"
