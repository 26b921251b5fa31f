// Linked into every program of a sanitized build. A finding ends the
// process at once with status 86, never with the relay's own 1 or 255,
// so a black-box test that checks the exit status fails on it.
#define DORQIN_DEFAULTS(name, text) \
    extern "C" __attribute__((visibility("default"), used)) const char* name() { return text; }

DORQIN_DEFAULTS(__asan_default_options, "exitcode=86:detect_leaks=1")
DORQIN_DEFAULTS(__ubsan_default_options, "exitcode=86:halt_on_error=1:print_stacktrace=1")
DORQIN_DEFAULTS(__tsan_default_options, "exitcode=86:halt_on_error=1:second_deadlock_stack=1")
// The relay keeps its one thread's handle until the process ends, as the
// Windows program does; whether LSan still sees the pointer at exit
// depends on the optimiser. The report of a suppression used would land
// in the middle of the relay's console.
DORQIN_DEFAULTS(__lsan_default_suppressions, "leak:CreateThread\n")
DORQIN_DEFAULTS(__lsan_default_options, "print_suppressions=0")
