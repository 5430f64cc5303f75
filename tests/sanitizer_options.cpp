// Sanitizer settings of the test programs. The sandbox preload is loaded
// before the sanitizer runtime, and cancelling a worker blocked in read()
// confuses the alternate signal stack check: both are expected here.
extern "C" {
const char *__asan_default_options() {
  return "verify_asan_link_order=0:use_sigaltstack=0:detect_leaks=1";
}
const char *__ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
const char *__tsan_default_options() { return "halt_on_error=1:second_deadlock_stack=1"; }
}
