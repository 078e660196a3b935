// What each control library does when it is unloaded: the least, and then
// its own release hook; and the plug-in's dispatch hooks, taken for the
// kit's waits.
#include "KitPlatform.h"

#ifdef _WIN32
#include <windows.h>
#endif

#ifdef _WIN32
// Unloading runs under the loader lock. At process exit (reserved not
// null) nothing at all is done: other threads were stopped wherever they
// stood, Winsock's state cannot be trusted, and the system closes the
// process's sockets anyway (the trace was flushed at each line). When the
// host's plug-in releases the library (FreeLibrary, reserved null), its
// sockets are closed, so that neither the connection nor its handle
// outlives the code that owns it; that is safe there: WS2_32 is one of this
// library's imports, so it is still loaded and initialised while this
// runs, and closing a non-blocking socket without a linger time returns at
// once, the system finishing the close by itself, without loading a library
// or waiting on a thread. A name's lookup still under way is cancelled
// (NetResolveEnd) and its window destroyed (on the host's thread, which made
// it and releases the library), so that no message reaches code that is
// gone. WSACleanup is not called: the last one of a
// process unloads Winsock's helper libraries, which must not happen under
// the loader lock. The count this library's WSAStartup took stays with the
// process; a later load only adds to the count, and holds no handle.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == NULL)
        LibraryRelease();
    return TRUE;
}
#else
// Closed when the library is unloaded (dlclose) and at exit.
__attribute__((destructor)) static void Unloaded(void)
{
    LibraryRelease();
}
#endif

TCS_EXPORT unsigned short TCS_CALL TCS_SetDispatchHooks(TCS_DispatchHook before, TCS_DispatchHook after)
{
    SetDispatchHooks(before, after);
    return kTcsDone;
}
