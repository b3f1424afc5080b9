/* Built into every program of a sanitizer build: a report ends the process
 * with status 99, which no test expects, and the first report halts it.
 * Leaks are checked with valgrind on whole jobs and by the fuzzers. */
const char *__asan_default_options(void);
const char *__ubsan_default_options(void);

const char *__asan_default_options(void)
{
    return "exitcode=99:detect_leaks=0";
}

const char *__ubsan_default_options(void)
{
    return "halt_on_error=1:print_stacktrace=1:exitcode=99";
}
