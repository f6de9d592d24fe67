// Sanitizer settings built into every test executable, so they hold however
// the test is started (ctest, by hand, under a debugger).
extern "C" {

// Allocations that fontconfig, D-Bus and Qt keep for the life of the process,
// a reference Qt leaks when a handler's exception passes through a queued
// call, and the buffer glibc's resolver keeps in a look-up thread that is
// still alive at exit (Qt's host look-ups run in a thread pool; it shows only
// when a name is actually sent to a DNS server); none of them is ours.
const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n"
           "leak:libdbus\n"
           "leak:libQt6Gui\n"
           "leak:QtSharedPointer::ExternalRefCountData::getAndRef\n"
           "leak:__res_context_send\n";
}

const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

// A data race fails the test at once, where it is seen.
const char* __tsan_default_options() { return "halt_on_error=1"; }
}
