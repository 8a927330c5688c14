# Runtime options of every sanitizer build, sourced by tools/sanitize and tools/fuzz: a finding
# stops the process with an error (UBSan would only print and go on) and leaks are reported at
# exit. ThreadSanitizer lets the children of the threaded tests run on after fork (they exec a
# server at once) and ignores the allocations and frees of Debian's uninstrumented Qt: the locks
# inside Qt are invisible to it, so an object that Qt allocates on one thread and frees on
# another (its D-Bus thread does) would read as a race.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:report_error_type=1
export TSAN_OPTIONS=halt_on_error=1:die_after_fork=0:second_deadlock_stack=1:ignore_noninstrumented_modules=1
# The publishing tests' twenty TLS rounds each are for the servers' sake; under a sanitizer, many
# times slower, three show the memory and the threads as well.
export FTP_PUBLISHER_TLS_ROUNDS=3
