// Linked into the sanitizer builds of the programs that run where the leak
// checker cannot stop the world at exit (sendmail, inside PHP-FPM's
// workers): the address checks stay, the leak check at exit is off, so the
// program's exit status is its own.
extern "C" const char* __lsan_default_options();  // NOLINT(bugprone-reserved-identifier)

extern "C" const char* __lsan_default_options() {  // NOLINT(bugprone-reserved-identifier)
    return "detect_leaks=0";
}
