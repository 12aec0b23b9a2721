// Sanitizer settings for programs that link the web engine, built into sanitizer builds only.
//
// The engine is built without run-time type information. Where it releases its own shared_ptr objects, the
// release code it binds to is our instrumented copy (the executable's definition wins), whose vptr check
// cannot find a type for the engine's objects and stops the program. That check is switched off for the
// standard library's shared_ptr code only; every other check stays. The engine and the toolkit under it
// keep some allocations until the process exits: .ci/lsan.supp drops leak reports from inside them, for a
// test binary run by hand as under ctest.
extern "C" {

const char* __ubsan_default_options() {
    return "suppressions=" QUORVANE_WEBKIT_UBSAN_SUPPRESSIONS;
}

const char* __lsan_default_options() {
    return "suppressions=" QUORVANE_WEBKIT_LSAN_SUPPRESSIONS;
}

}  // extern "C"
