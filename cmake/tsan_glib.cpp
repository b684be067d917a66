// GLib and GIO are not built with the thread sanitizer: their locks are
// futexes it cannot see, so memory they hand from their own worker threads
// to ours (a GError, a GVariant) looks raced. Their calls are left unwatched.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n";
}
