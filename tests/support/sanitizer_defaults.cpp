// Linked into every program of a sanitized build. A finding ends the
// process at once with status 86, never with the relay's own 1 or 255,
// so a black-box test that checks the exit status fails on it.
#define DORQIN_DEFAULTS(name, text) \
    extern "C" __attribute__((visibility("default"), used)) const char* name() { return text; }

DORQIN_DEFAULTS(__asan_default_options, "exitcode=86:detect_leaks=1")
DORQIN_DEFAULTS(__ubsan_default_options, "exitcode=86:halt_on_error=1:print_stacktrace=1")
DORQIN_DEFAULTS(__tsan_default_options, "exitcode=86:halt_on_error=1:second_deadlock_stack=1")
