// Linked into the test programs of a ThreadSanitizer build only.
//
// QProcess starts a program through clone() with CLONE_VM | CLONE_VFORK: the
// child runs in the parent's memory until it executes the program. The
// sanitizer does not know of such a child, whose calls (closing descriptors,
// resetting signals) it records in the parent's bookkeeping; after one
// process start it reports races in code that is properly locked. Without
// CLONE_VM the child works on a copy, as after fork(), and the parent still
// waits for it to execute the program (CLONE_VFORK), so QProcess works as before.
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdarg>

extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    // The optional arguments, passed on whether the flags use them or not, as
    // the C library reads them.
    va_list rest;
    va_start(rest, arg);
    pid_t *parentTid = va_arg(rest, pid_t *);
    void *tls = va_arg(rest, void *);
    pid_t *childTid = va_arg(rest, pid_t *);
    va_end(rest);
    using Clone = int (*)(int (*)(void *), void *, int, void *, ...);
    static const auto next = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    if (flags & CLONE_VFORK)
        flags &= ~CLONE_VM;
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}
