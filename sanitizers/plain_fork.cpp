// Preloaded into the ThreadSanitizer run. Qt starts a process with clone(CLONE_VM | CLONE_VFORK),
// so the child runs the sanitizer's interceptors on the parent's memory until it execs; after
// that GCC 12's ThreadSanitizer reports nothing more in the parent (clang 14's aborts). Here
// such a clone gets fork's semantics: the child works on a copy, the parent does not wait.
#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>

extern "C" int clone(int (*fn)(void*), void* stack, int flags, void* arg, ...) {
    va_list rest;
    va_start(rest, arg);
    void* parent_tid = va_arg(rest, void*);
    void* tls = va_arg(rest, void*);
    void* child_tid = va_arg(rest, void*);
    va_end(rest);
    using clone_function = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto next = reinterpret_cast<clone_function>(dlsym(RTLD_NEXT, "clone"));
    if ((flags & CLONE_VM) && (flags & CLONE_VFORK))
        flags &= ~(CLONE_VM | CLONE_VFORK);
    return next(fn, stack, flags, arg, parent_tid, tls, child_tid);
}
