// Leaks that belong to third-party code, kept out of the leak checker's report for the database
// tests. The SQLite ODBC driver reads a named data source's settings through the driver manager's
// ini library and never frees what that returns. The driver is built without frame pointers, so
// only the slow unwinder reaches its frame, which is what identifies these blocks.
extern "C" const char* __asan_default_options()
{
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libsqlite3odbc.so\n";
}
