// Linked into the window tests of a ThreadSanitizer build: reports about
// hand-offs that happen inside libraries the sanitizer cannot see into.
//
// Qt comes from the system, not built with the sanitizer: its QMutex and
// atomics never reach ThreadSanitizer, so data that Qt hands between its own
// threads (the file-system model's gatherer behind the add-files dialog, the
// thread pool that paints offscreen, wait conditions, the test watchdog) is
// reported as raced. Only the calls made from inside these libraries are
// left unchecked: every access our own code makes is still checked.
extern "C" const char *__tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Test.so.6\n"
         // The desktop notification's D-Bus connection runs a GLib loop in
         // a thread of Qt's.
         "called_from_lib:libQt6DBus.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n"
         // The C library's time-zone state is guarded by a lock of its own,
         // which the sanitizer does not see (mktime and localtime_r on
         // different threads).
         "race:tzset_internal\n";
}
