// Per-thread bookkeeping of C++ exceptions, in place of the C++ runtime's own.
//
// The runtime, linked in statically, keeps it in a thread_local that a shared object must
// reach through __tls_get_addr, which only the dynamic loader provides; the module would
// then need ld-linux as a library. Ours uses the initial-exec model, which glibc serves
// from its reserve of static TLS for modules loaded later, so no loader symbol is needed.
#include <cstddef> // defines __GLIBCXX__ when the runtime is libstdc++

#if defined(__linux__) && defined(__GLIBCXX__)

namespace {

// Mirrors the runtime's __cxa_eh_globals: exceptions being handled and not yet caught.
struct exception_globals {
    void* caught_exceptions;
    unsigned int uncaught_exceptions;
};

__attribute__((tls_model("initial-exec"))) thread_local exception_globals globals;

} // namespace

extern "C" {
exception_globals* __cxa_get_globals_fast() noexcept { return &globals; }
exception_globals* __cxa_get_globals() noexcept { return &globals; }
}

#endif
