// Counts message formatting: the program's own vsnprintf, which the library
// reaches by name, counts its calls while armed and hands every call to the
// C library's. Include from one source per program; the program must export
// vsnprintf (a program linked with the library does, since the library
// needs it; one that loads the library with dlopen exports its symbols).
#ifndef ZK_TESTS_CLAIM_FORMAT_COUNTER_H
#define ZK_TESTS_CLAIM_FORMAT_COUNTER_H

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>

namespace claimtest {

using VsnprintfFn = int (*)(char *, size_t, const char *, va_list);
// Looked up at start-up; RTLD_NEXT finds the C library's (or a sanitizer's).
inline const VsnprintfFn g_real_vsnprintf =
    reinterpret_cast<VsnprintfFn>(dlsym(RTLD_NEXT, "vsnprintf"));
inline bool g_counting = false;
inline int g_formats = 0;

// Runs fn and returns the vsnprintf calls made meanwhile (single thread).
template <typename Fn>
int count_formats(Fn fn)
{
    g_formats = 0;
    g_counting = true;
    fn();
    g_counting = false;
    return g_formats;
}

}  // namespace claimtest

extern "C" int vsnprintf(char *__restrict text, size_t size,
                         const char *__restrict format, va_list args) __THROWNL
{
    if (claimtest::g_counting)
        ++claimtest::g_formats;
    return claimtest::g_real_vsnprintf(text, size, format, args);
}

#endif  // ZK_TESTS_CLAIM_FORMAT_COUNTER_H
