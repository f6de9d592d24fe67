// Sanitizer settings built into every test executable, so they hold however
// the test is started (ctest, by hand, under a debugger).
extern "C" {

// Allocations that fontconfig, D-Bus and Qt keep for the life of the process,
// and a reference Qt leaks when a handler's exception passes through a
// queued call; none of them is ours.
const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n"
           "leak:libdbus\n"
           "leak:libQt6Gui\n"
           "leak:QtSharedPointer::ExternalRefCountData::getAndRef\n";
}

const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

}
