// pthread_once for the Windows simulator, in place of winpthreads' own.
//
// The library is linked statically, and at every load the runtime's start-up
// registers the library's unwind tables through pthread_once. winpthreads'
// pthread_once asks for the calling thread's record, which takes a TLS slot
// (TlsAlloc) the first time and never gives it back: a process that loads and
// unloads the library a thousand times runs out of slots (Wine has 1,088).
// The linker sends every pthread_once call of this library here instead
// (-Wl,--wrap=pthread_once), and this one needs no thread record.
#include <windows.h>

#include <pthread.h>

extern "C" int __wrap_pthread_once(pthread_once_t *once, void (*init)(void))
{
    // 0: never run (PTHREAD_ONCE_INIT), 1: running, 2: done.
    volatile LONG *state = (volatile LONG *)once;
    if (InterlockedCompareExchange(state, 1, 0) == 0) {
        init();
        InterlockedExchange(state, 2);
        return 0;
    }
    while (InterlockedCompareExchange(state, 2, 2) != 2)
        Sleep(0);
    return 0;
}
