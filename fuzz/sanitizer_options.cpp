// AddressSanitizer settings of the fuzzers. Each input allocates and frees buffers the
// size of its blocks; with the default 256 MB quarantine almost every allocation lands on
// fresh pages (page faults, then memory given back with madvise), and filling each new
// block with a pattern costs a memset. An 8 MB quarantine still keeps a freed block out
// of use long enough for this code's objects, whose lifetime is one call or one input.
// The environment's ASAN_OPTIONS still override these.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=8:max_malloc_fill_size=0";
}
