// The control libraries' sockets and name lookups: one body for Windows
// (Winsock) and one for POSIX.
#include "KitPlatform.h"

#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
typedef int SocketLength;
#define LAST_ERROR WSAGetLastError()
#define WOULD_BLOCK(e) ((e) == WSAEWOULDBLOCK)
#define IN_PROGRESS(e) ((e) == WSAEWOULDBLOCK || (e) == WSAEINPROGRESS)
#define SEND_FLAGS 0
#else
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
typedef socklen_t SocketLength;
#define LAST_ERROR errno
#define WOULD_BLOCK(e) ((e) == EAGAIN || (e) == EWOULDBLOCK || (e) == EINTR)
#define IN_PROGRESS(e) ((e) == EINPROGRESS || (e) == EINTR)
#define SEND_FLAGS MSG_NOSIGNAL
#endif

#ifdef _WIN32
// A wait on Windows keeps the calling thread's messages flowing, as a modal
// loop does: it waits in slices of at most kSliceMs and dispatches what has
// come between them, so that the host's windows answer while the library
// waits for its server. What the host's code calls meanwhile reaches the
// library while Dispatching() holds, and is answered from what it knows.
enum { kSliceMs = 10 };
static int gDispatching;
static TCS_DispatchHook gBeforeDispatch, gAfterDispatch;

void SetDispatchHooks(TCS_DispatchHook before, TCS_DispatchHook after)
{
    gBeforeDispatch = before;
    gAfterDispatch = after;
}

int Dispatching(void)
{
    return gDispatching;
}

static void DispatchMessages(void)
{
    if (gDispatching)
        return; // a call that came in through a dispatch never dispatches again
    ++gDispatching;
    // The after hook that pairs with the before one, whatever a nested
    // call hands over meanwhile.
    const TCS_DispatchHook after = gAfterDispatch;
    if (gBeforeDispatch != NULL) // PeekMessage itself delivers sent messages
        gBeforeDispatch();
    MSG message;
    while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage((int)message.wParam); // the host's own loop must see it
            break;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (after != NULL)
        after();
    --gDispatching;
}

// The next slice of a wait that ends at deadline, after the first look (a
// slice of 0): -1 once the deadline has passed, else the messages that have
// come are dispatched and the slice is at most kSliceMs (0 for a last look
// when the dispatch took the rest of the time). A wait of no time never
// dispatches.
static int NextSlice(uint64_t deadline)
{
    if (MonotonicMilliseconds() >= deadline)
        return -1;
    DispatchMessages();
    uint64_t now = MonotonicMilliseconds();
    return now >= deadline ? 0 : deadline - now < kSliceMs ? (int)(deadline - now) : (int)kSliceMs;
}
#else
int Dispatching(void)
{
    return 0;
}

void SetDispatchHooks(TCS_DispatchHook, TCS_DispatchHook) {} // nothing is dispatched here
#endif

#ifdef _WIN32
// select() over the sets given, in slices with the thread's messages
// dispatched between them, until something is ready (the sets then hold
// what is) or timeoutMs has passed: its count, 0 at the end, or -1.
static int SelectDispatching(fd_set *readable, fd_set *writable, fd_set *failed, int timeoutMs)
{
    const fd_set none = {}, r = readable ? *readable : none, w = writable ? *writable : none,
                 f = failed ? *failed : none;
    uint64_t deadline = MonotonicMilliseconds() + (uint64_t)(timeoutMs > 0 ? timeoutMs : 0);
    for (int slice = 0; slice >= 0; slice = NextSlice(deadline)) {
        if (readable)
            *readable = r;
        if (writable)
            *writable = w;
        if (failed)
            *failed = f;
        struct timeval tv = {0, slice * 1000};
        int n = select(0, readable, writable, failed, &tv);
        if (n != 0)
            return n;
    }
    return 0;
}
#endif

// Waits until the socket can be read (write = 0) or written (1): 1, or 0
// at the end of timeoutMs.
static int WaitSocket(NetSocket s, int write, int timeoutMs)
{
    if (timeoutMs < 0)
        timeoutMs = 0;
#ifdef _WIN32
    fd_set set, failed;
    FD_ZERO(&set);
    FD_ZERO(&failed);
    FD_SET((SOCKET)s, &set);
    FD_SET((SOCKET)s, &failed);
    return SelectDispatching(write ? NULL : &set, write ? &set : NULL, &failed, timeoutMs) > 0; // ready, or failed
#else
    struct pollfd p = {(int)s, (short)(write ? POLLOUT : POLLIN), 0};
    int n = poll(&p, 1, timeoutMs);
    return n > 0;
#endif
}

#ifdef _WIN32
static int gWinsockStarted = 0;
#endif

static int StartNetwork(void)
{
#ifdef _WIN32
    if (!gWinsockStarted) {
        // Winsock stays loaded for the rest of the process. Released with
        // this library (never cleaned up: see DllMain), it would be loaded
        // afresh by the next load, and Wine's then refuses every connection:
        // a host that re-initialises its plug-in would lose the mount.
        HMODULE winsock;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, "ws2_32.dll", &winsock);
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return 0;
        gWinsockStarted = 1;
    }
#endif
    return 1;
}

// The addresses of a lookup's answer, at most max of them.
static int CopyAddresses(const struct addrinfo *found, NetAddress *addresses, int max)
{
    int count = 0;
    for (const struct addrinfo *a = found; a != NULL && count < max; a = a->ai_next) {
        if (a->ai_addrlen > sizeof addresses[count].address.bytes)
            continue;
        addresses[count].family = a->ai_family;
        addresses[count].length = (int)a->ai_addrlen;
        memcpy(addresses[count].address.bytes, a->ai_addr, a->ai_addrlen);
        ++count;
    }
    return count;
}

#ifdef _WIN32
// A name's lookup under way. Winsock's asynchronous lookup (Windows XP has
// it, and needs no thread of ours) answers into this record from a thread of
// its own and then posts a message to a window of ours: a message-only
// window, whose message is read either by the host's loop (which dispatches
// it to LookupWindow) or by the library's own calls (PeekMessage). The
// record is on the heap and released once the lookup has ended; one still
// under way at unload that cannot be cancelled is left to Winsock, which may
// still write into it. Names get IPv4 addresses this way.
enum { kLookupMessage = WM_APP + 0x1d1 };
static const char kLookupClass[] = "DRAV lookup";
struct Lookup {
    HWND window;
    HANDLE task;
    int ended, error;
    char name[256];
    char answer[MAXGETHOSTSTRUCT];
};
static Lookup *gLookup;

static LRESULT CALLBACK LookupWindow(HWND window, UINT message, WPARAM w, LPARAM l)
{
    if (message == kLookupMessage && gLookup != NULL && (HANDLE)w == gLookup->task) {
        gLookup->ended = 1;
        gLookup->error = WSAGETASYNCERROR(l);
        return 0;
    }
    return DefWindowProcA(window, message, w, l);
}

static HINSTANCE ThisLibrary(void)
{
    HMODULE self = NULL;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCSTR)&LookupWindow, &self);
    return self;
}

// The window, and its class, live only as long as the lookup.
static void EndLookup(int release)
{
    DestroyWindow(gLookup->window);
    UnregisterClassA(kLookupClass, ThisLibrary());
    if (release)
        free(gLookup);
    gLookup = NULL;
}

static int StartLookup(const char *host)
{
    WNDCLASSA type;
    memset(&type, 0, sizeof type);
    type.lpfnWndProc = LookupWindow;
    type.hInstance = ThisLibrary();
    type.lpszClassName = kLookupClass;
    if (strlen(host) >= sizeof gLookup->name || (gLookup = (Lookup *)calloc(1, sizeof *gLookup)) == NULL)
        return 0;
    strcpy(gLookup->name, host);
    RegisterClassA(&type); // or still registered by an earlier load
    gLookup->window = CreateWindowExA(0, kLookupClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, type.hInstance, NULL);
    if (gLookup->window != NULL)
        gLookup->task = WSAAsyncGetHostByName(gLookup->window, kLookupMessage, gLookup->name, gLookup->answer,
                                              sizeof gLookup->answer);
    if (gLookup->task == NULL) {
        EndLookup(1);
        return 0;
    }
    return 1;
}

// Reads the lookup's message if it has come, waiting for it at most waitMs
// while the thread's other messages are dispatched.
static void AwaitLookup(int waitMs)
{
    uint64_t deadline = MonotonicMilliseconds() + (uint64_t)(waitMs > 0 ? waitMs : 0);
    for (int slice = 0; slice >= 0; slice = NextSlice(deadline)) {
        MSG message;
        while (!gLookup->ended && PeekMessageA(&message, gLookup->window, kLookupMessage, kLookupMessage, PM_REMOVE))
            LookupWindow(message.hwnd, message.message, message.wParam, message.lParam);
        if (gLookup->ended)
            return;
        if (slice > 0)
            MsgWaitForMultipleObjects(0, NULL, FALSE, (DWORD)slice, QS_ALLINPUT);
    }
}

// The IPv4 addresses of the ended lookup's answer, with port, up to max.
static int LookupAddresses(unsigned short port, NetAddress *addresses, int max)
{
    const struct hostent *answer = (const struct hostent *)gLookup->answer;
    int count = 0;
    for (int i = 0; gLookup->error == 0 && answer->h_addrtype == AF_INET && answer->h_length == 4 &&
                    answer->h_addr_list[i] != NULL && count < max;
         ++i) {
        struct sockaddr_in to;
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        memcpy(&to.sin_addr, answer->h_addr_list[i], 4);
        addresses[count].family = AF_INET;
        addresses[count].length = (int)sizeof to;
        memcpy(addresses[count].address.bytes, &to, sizeof to);
        ++count;
    }
    return count;
}
#else
// A name's lookup under way. The system's resolver answers into this record
// from a thread of its own, so the record is on the heap and released only
// once the lookup has ended; one still under way at unload that cannot be
// cancelled is left to the resolver, which may still write into it.
struct Lookup {
    struct gaicb request;
    struct gaicb *list[1];
    struct addrinfo hints;
    char name[256];
    char service[8];
};
static Lookup *gLookup;

static void EndLookup(void)
{
    if (gLookup->request.ar_result != NULL)
        freeaddrinfo(gLookup->request.ar_result);
    free(gLookup);
    gLookup = NULL;
}

// Starts the lookup of host for service, without waiting: 0 when it could
// not start.
static int StartLookup(const char *host, const char *service)
{
    if (strlen(host) >= sizeof gLookup->name || (gLookup = (Lookup *)calloc(1, sizeof *gLookup)) == NULL)
        return 0;
    strcpy(gLookup->name, host);
    strcpy(gLookup->service, service);
    gLookup->hints.ai_family = AF_UNSPEC;
    gLookup->hints.ai_socktype = SOCK_STREAM;
    gLookup->request.ar_name = gLookup->name;
    gLookup->request.ar_service = gLookup->service;
    gLookup->request.ar_request = &gLookup->hints;
    gLookup->list[0] = &gLookup->request;
    if (getaddrinfo_a(GAI_NOWAIT, gLookup->list, 1, NULL) != 0) {
        EndLookup();
        return 0;
    }
    return 1;
}
#endif

// A numeric address (IPv4 or IPv6) converted, with the port given, for
// sockets of that type: at most max of them, or -1 when host is a name. A
// conversion: no lookup, no wait.
static int NumericAddresses(const char *host, unsigned short port, int type, NetAddress *addresses, int max)
{
    struct addrinfo hints, *found = NULL;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(host, NULL, &hints, &found) != 0)
        return -1;
    int count = CopyAddresses(found, addresses, max);
    if (found != NULL)
        freeaddrinfo(found);
    for (int i = 0; i < count; ++i) // the port sits at the same place in both families' records
        ((struct sockaddr_in *)(void *)addresses[i].address.bytes)->sin_port = htons(port);
    return count;
}

int NetResolve(const char *host, unsigned short port, int waitMs, NetAddress *addresses, int max)
{
    if (!StartNetwork())
        return 0;
    int count = NumericAddresses(host, port, SOCK_STREAM, addresses, max);
    if (count >= 0)
        return count;
#ifdef _WIN32
    if (gLookup == NULL && !StartLookup(host))
        return 0;
    AwaitLookup(waitMs);
    if (!gLookup->ended)
        return -1;
    count = LookupAddresses(port, addresses, max);
    EndLookup(1);
    return count;
#else
    char service[8];
    int n = 0;
    for (unsigned p = port, d = 10000; d > 0; d /= 10)
        if (p / d % 10 != 0 || n > 0 || d == 1)
            service[n++] = (char)('0' + p / d % 10);
    service[n] = '\0';
    if (gLookup == NULL && !StartLookup(host, service))
        return 0;
    if (waitMs > 0) {
        struct timespec wait = {waitMs / 1000, (long)(waitMs % 1000) * 1000000L};
        gai_suspend((const struct gaicb *const *)gLookup->list, 1, &wait);
    }
    int status = gai_error(&gLookup->request);
    if (status == EAI_INPROGRESS)
        return -1;
    count = status == 0 ? CopyAddresses(gLookup->request.ar_result, addresses, max) : 0;
    if (status != 0)
        gLookup->request.ar_result = NULL;
    EndLookup();
    return count;
#endif
}

void NetResolveEnd(void)
{
#ifdef _WIN32
    if (gLookup != NULL)
        EndLookup(gLookup->ended || WSACancelAsyncRequest(gLookup->task) == 0);
#else
    if (gLookup == NULL)
        return;
    if (gai_cancel(&gLookup->request) == EAI_NOTCANCELED) {
        gLookup = NULL; // the resolver still owns it
        return;
    }
    if (gai_error(&gLookup->request) != 0)
        gLookup->request.ar_result = NULL;
    EndLookup();
#endif
}

// A socket of that family and type that never blocks (nor outlives an
// exec), or kNoSocket.
static NetSocket OpenNonBlocking(int family, int type, int protocol)
{
    if (!StartNetwork())
        return kNoSocket;
    NetSocket s = (NetSocket)socket(family, type, protocol);
    if (s == (NetSocket)-1 || s == kNoSocket)
        return kNoSocket;
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket((SOCKET)s, FIONBIO, &on);
#else
    fcntl((int)s, F_SETFL, fcntl((int)s, F_GETFL) | O_NONBLOCK);
    fcntl((int)s, F_SETFD, FD_CLOEXEC);
#endif
    return s;
}

NetSocket NetConnectStart(const NetAddress *address)
{
    NetSocket s = OpenNonBlocking(address->family, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket)
        return kNoSocket;
    int yes = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&yes, sizeof yes);
    if (connect(s, (const struct sockaddr *)address->address.bytes, (SocketLength)address->length) != 0 &&
        !IN_PROGRESS(LAST_ERROR)) {
        NetClose(s);
        return kNoSocket;
    }
    return s;
}

// Whether the connection of a socket that can be written or has failed was made.
static int ConnectionMade(NetSocket s)
{
    int error = 0;
    SocketLength length = sizeof error;
    return getsockopt(s, SOL_SOCKET, SO_ERROR, (char *)&error, &length) == 0 && error == 0 ? 1 : -1;
}

void NetConnectPoll(const NetSocket *sockets, int *states, int count, int timeoutMs)
{
    if (timeoutMs < 0)
        timeoutMs = 0;
    int pending = 0;
#ifdef _WIN32
    // Made: writable; failed: in the exception set.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (int i = 0; i < count; ++i)
        if (states[i] == 0) {
            FD_SET((SOCKET)sockets[i], &writable);
            FD_SET((SOCKET)sockets[i], &failed);
            ++pending;
        }
    if (pending == 0 || SelectDispatching(NULL, &writable, &failed, timeoutMs) <= 0)
        return;
    for (int i = 0; i < count; ++i)
        if (states[i] == 0 && FD_ISSET((SOCKET)sockets[i], &failed))
            states[i] = -1;
        else if (states[i] == 0 && FD_ISSET((SOCKET)sockets[i], &writable))
            states[i] = ConnectionMade(sockets[i]);
#else
    struct pollfd polled[kNetAddressesMax];
    int which[kNetAddressesMax];
    for (int i = 0; i < count && pending < kNetAddressesMax; ++i)
        if (states[i] == 0) {
            polled[pending].fd = (int)sockets[i];
            polled[pending].events = POLLOUT;
            polled[pending].revents = 0;
            which[pending++] = i;
        }
    if (pending == 0 || poll(polled, (nfds_t)pending, timeoutMs) <= 0)
        return;
    for (int k = 0; k < pending; ++k)
        if (polled[k].revents != 0)
            states[which[k]] = (polled[k].revents & (POLLERR | POLLHUP)) != 0 ? -1 : ConnectionMade(sockets[which[k]]);
#endif
}

int NetReceive(NetSocket s, char *buffer, int size)
{
    int n = (int)recv(s, buffer, size, 0);
    if (n > 0)
        return n;
    if (n < 0 && WOULD_BLOCK(LAST_ERROR))
        return 0;
    return -1;
}

int NetSend(NetSocket s, const char *data, int length, int timeoutMs)
{
    uint64_t deadline = MonotonicMilliseconds() + (uint64_t)timeoutMs;
    while (length > 0) {
        int n = (int)send(s, data, length, SEND_FLAGS);
        if (n > 0) {
            data += n;
            length -= n;
            continue;
        }
        uint64_t now = MonotonicMilliseconds();
        if (n == 0 || !WOULD_BLOCK(LAST_ERROR) || now >= deadline || !WaitSocket(s, 1, (int)(deadline - now)))
            return 0;
    }
    return 1;
}

int NetWaitReadable(NetSocket s, int timeoutMs)
{
    return WaitSocket(s, 0, timeoutMs);
}

void NetClose(NetSocket s)
{
#ifdef _WIN32
    closesocket((SOCKET)s);
#else
    close((int)s);
#endif
}


// --- UDP, for discovery ---

#ifndef _WIN32
#include <ifaddrs.h>
#include <net/if.h>
#endif

NetSocket NetUdpOpen(int family)
{
    NetSocket s = OpenNonBlocking(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s != kNoSocket && family == AF_INET) {
        int yes = 1;
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, (const char *)&yes, sizeof yes);
    }
    return s;
}

int NetNumericAddress(const char *host, unsigned short port, NetAddress *address)
{
    return StartNetwork() && NumericAddresses(host, port, SOCK_DGRAM, address, 1) == 1;
}

static void SetIPv4(NetAddress *address, uint32_t networkOrder, unsigned short port)
{
    memset(address, 0, sizeof *address);
    struct sockaddr_in *in = (struct sockaddr_in *)(void *)address->address.bytes;
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = networkOrder;
    address->family = AF_INET;
    address->length = (int)sizeof *in;
}

int NetBroadcastAddresses(unsigned short port, NetAddress *addresses, int max)
{
    if (max < 1 || !StartNetwork())
        return 0;
    SetIPv4(&addresses[0], 0xFFFFFFFFu, port);
    int count = 1;
#ifdef _WIN32
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return count;
    INTERFACE_INFO list[16];
    DWORD bytes = 0;
    if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, NULL, 0, list, sizeof list, &bytes, NULL, NULL) == 0) {
        for (int i = 0; i < (int)(bytes / sizeof list[0]) && count < max; ++i) {
            if ((list[i].iiFlags & IFF_BROADCAST) == 0 || (list[i].iiFlags & IFF_UP) == 0)
                continue;
            // iiBroadcastAddress reads 255.255.255.255 on most systems: the
            // address under the netmask gives the interface's own.
            uint32_t a = list[i].iiAddress.AddressIn.sin_addr.s_addr;
            uint32_t mask = list[i].iiNetmask.AddressIn.sin_addr.s_addr;
            SetIPv4(&addresses[count++], a | ~mask, port);
        }
    }
    closesocket(s);
#else
    struct ifaddrs *all = NULL;
    if (getifaddrs(&all) != 0)
        return count;
    for (struct ifaddrs *i = all; i != NULL && count < max; i = i->ifa_next) {
        if (i->ifa_addr == NULL || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_BROADCAST) == 0 ||
            i->ifa_broadaddr == NULL)
            continue;
        SetIPv4(&addresses[count++], ((struct sockaddr_in *)(void *)i->ifa_broadaddr)->sin_addr.s_addr, port);
    }
    freeifaddrs(all);
#endif
    return count;
}

int NetUdpSend(NetSocket s, const NetAddress *to, const char *data, int length)
{
    return (int)sendto(s, data, length, SEND_FLAGS, (const struct sockaddr *)to->address.bytes,
                       (SocketLength)to->length) == length;
}

int NetUdpReceive(NetSocket s, char *buffer, int size, NetAddress *from)
{
    memset(from, 0, sizeof *from);
    SocketLength length = (SocketLength)sizeof from->address.bytes;
    int n = (int)recvfrom(s, buffer, size, 0, (struct sockaddr *)from->address.bytes, &length);
    if (n >= 0) {
        from->family = ((struct sockaddr *)from->address.bytes)->sa_family;
        from->length = (int)length;
        return n > 0 ? n : 0;
    }
    return WOULD_BLOCK(LAST_ERROR) ? 0 : -1;
}

void NetAddressText(const NetAddress *address, char *text, int size, unsigned short *port)
{
    static const char hex[] = "0123456789abcdef";
    const unsigned char *b = address->address.bytes;
    char out[48];
    int n = 0;
    // Both families keep the port, in network order, in bytes 2 and 3.
    *port = (unsigned short)(b[2] << 8 | b[3]);
    if (address->family == AF_INET) {
        const unsigned char *a = (const unsigned char *)&((const struct sockaddr_in *)(const void *)b)->sin_addr;
        for (int i = 0; i < 4; ++i) {
            int v = a[i];
            if (i > 0)
                out[n++] = '.';
            if (v >= 100)
                out[n++] = (char)('0' + v / 100);
            if (v >= 10)
                out[n++] = (char)('0' + v / 10 % 10);
            out[n++] = (char)('0' + v % 10);
        }
    } else if (address->family == AF_INET6) {
        const unsigned char *a = (const unsigned char *)&((const struct sockaddr_in6 *)(const void *)b)->sin6_addr;
        for (int i = 0; i < 16; i += 2) {
            unsigned v = (unsigned)(a[i] << 8 | a[i + 1]);
            int started = 0;
            if (i > 0)
                out[n++] = ':';
            for (int shift = 12; shift >= 0; shift -= 4)
                if (started || ((v >> shift) & 15) != 0 || shift == 0) {
                    out[n++] = hex[(v >> shift) & 15];
                    started = 1;
                }
        }
    }
    out[n] = '\0';
    if (size > 0) {
        int m = n < size - 1 ? n : size - 1;
        memcpy(text, out, (size_t)m);
        text[m] = '\0';
    }
}
