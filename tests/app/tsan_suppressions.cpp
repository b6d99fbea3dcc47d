// ThreadSanitizer suppressions for the wizard's tests, built into the test program so that
// a run under ctest and a run by hand see the same list.
//
// Debian's Qt is not built with ThreadSanitizer, and its mutexes, semaphores and wait
// conditions are futex based, so the sanitizer cannot see the ordering that Qt's event queue
// gives: every event posted by the update worker and deleted on the user-interface thread, and
// every blocking queued call, then looks like a race. Reports with a Qt (or GLib, which Qt's
// event loop uses) frame are Qt's own business; races between our threads in our own code have
// no such frame and are still reported.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_options();

// The longest access history: a report whose earlier access is a read of the worker's status
// text by a blocking queued call can only be matched to its Qt frame when that access's stack can
// still be restored; with the default history it sometimes cannot ("failed to restore the stack").
extern "C" const char* __tsan_default_options() {
    return "history_size=7";
}

extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libQt6Multimedia.so\n"
           "race:libQt6Test.so\n"
           "race:libglib-2.0.so\n"
           "called_from_lib:libQt6Core.so\n"
           "called_from_lib:libQt6Gui.so\n"
           "called_from_lib:libQt6Multimedia.so\n";
}
