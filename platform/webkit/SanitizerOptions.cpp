// Sanitizer settings for programs that link the script engine, built into sanitizer builds only.
//
// The engine is built without run-time type information. Where it releases its own shared_ptr objects, the
// release code it binds to is our instrumented copy (the executable's definition wins), whose vptr check
// cannot find a type for the engine's objects and stops the program. That check is switched off for the
// standard library's shared_ptr code only; every other check stays. The engine also keeps a few
// allocations until the process exits; leak reports from inside it are dropped.
extern "C" {

const char* __ubsan_default_options() {
    return "suppressions=" QUORVANE_WEBKIT_UBSAN_SUPPRESSIONS;
}

const char* __lsan_default_suppressions() {
    return "leak:libjavascriptcoregtk\n";
}

}  // extern "C"
