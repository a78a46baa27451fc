// Linked into the test programs that use Qt. Debian's Qt is not built with
// ThreadSanitizer, so TSan cannot see the synchronisation inside it (the
// posted-event queue's mutex, for one) and reports Qt's own accesses. Only
// Qt's libraries (and GLib, whose event loop and thread pool Qt's painting
// uses) are named here, never our code.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n";
}
#endif
