// AddressSanitizer's defaults for the fuzz targets, linked into each of them; cheaper per
// allocation than its own:
// - no allocation and free stacks: taking and storing one costs more than the allocation
//   itself; the stack of a fault is always whole, and a replay shows the rest;
// - a 4 MiB quarantine instead of 256 MiB: it still holds every block an input frees, so a
//   use after free within an input is caught, while the allocator goes on reusing memory it
//   has touched instead of cycling through fresh pages;
// - no filling of new blocks: the plug-in zero-fills its records, and the fill writes up to
//   4 KiB per allocation.
// ASAN_OPTIONS still overrides them, e.g. to replay a finding with whole stacks:
//   ASAN_OPTIONS=malloc_context_size=30 <target> <input>
//
// The definition is a strong one on purpose: the sanitizer runtime, which the compiler links
// ahead of the target's own objects, carries a weak one that would win over another weak one.
extern "C" __attribute__((used)) const char* __asan_default_options() {
    return "malloc_context_size=0:quarantine_size_mb=4:max_malloc_fill_size=0";
}
