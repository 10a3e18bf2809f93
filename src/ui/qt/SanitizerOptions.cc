// Sanitizer settings for what runs Qt: the tests, and the program itself in
// a sanitizer build (never in a release build).

// ThreadSanitizer: Debian's Qt and GLib libraries are not instrumented, and Qt
// converts and paints large images on its own pool threads, synchronised with
// locks that ThreadSanitizer cannot see. Their allocations and copies then
// look like races. Interceptors called from inside these libraries are
// ignored; our own code is still fully checked, also when Qt's event loop
// calls it, and none of our data is handed between threads through Qt.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n"
         "called_from_lib:libglib-2.0.so.0\n";
}

// LeakSanitizer: fontconfig keeps its font patterns in caches that it never
// frees.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so.1\n"; }
