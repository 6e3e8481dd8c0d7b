// The sanitized programs' own settings, so that however they are started a
// report ends them with a failing status and a leak counts as a report.
extern "C" const char* __asan_default_options() {
  return "halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1";
}
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }
