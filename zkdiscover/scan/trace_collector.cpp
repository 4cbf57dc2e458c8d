// libzkdiscover_trace.so: zkdiscover's collector of the library's trace for
// --explain. zkdiscover loads it (RTLD_GLOBAL) before the support library
// only when it explains, so the library's calls to xDbgPrint, which bind by
// name, land here: each thread keeps the text it receives until
// zkd_take_trace asks for it. The machine's trace log is never written.
// Without --explain the object is not loaded, the library's own xDbgPrint
// serves, and the library formats nothing while its log is closed.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

namespace {

// Each thread's text, held through a thread-specific key rather than a
// thread_local: leak checkers walk key data reliably, but not the dynamic
// TLS of an object loaded with dlopen.
pthread_key_t g_key;
pthread_once_t g_key_once = PTHREAD_ONCE_INIT;

void release_text(void *text) { delete static_cast<std::string *>(text); }
void make_key() { pthread_key_create(&g_key, release_text); }

// The calling thread's text, made on first use; null when there is no room.
std::string *thread_text()
{
    pthread_once(&g_key_once, make_key);
    std::string *text = static_cast<std::string *>(pthread_getspecific(g_key));
    if (text == nullptr) {
        text = new (std::nothrow) std::string;
        if (text != nullptr && pthread_setspecific(g_key, text) != 0) {
            delete text;
            text = nullptr;
        }
    }
    return text;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void xDbgPrint(int level, const char *text)
{
    (void)level;
    std::string *collected = thread_text();
    if (text == nullptr || collected == nullptr)
        return;
    // A message that cannot be kept is lost, never a reason to abort
    // inside the library's call.
    try {
        *collected += text;
    } catch (...) {
    }
}

// The calling thread's text since its previous call, as a malloc'd string
// (the caller frees it), or null when there is no room for it.
__attribute__((visibility("default"))) char *zkd_take_trace(void)
{
    std::string *collected = thread_text();
    size_t size = collected != nullptr ? collected->size() : 0;
    char *out = static_cast<char *>(malloc(size + 1));
    if (out != nullptr) {
        if (size != 0)
            memcpy(out, collected->data(), size);
        out[size] = '\0';
    }
    if (collected != nullptr)
        collected->clear();
    return out;
}

}  // extern "C"
