// The control libraries' thin platform layer: a TCP socket that never
// blocks beyond the time given, name lookups that hold no caller, a
// monotonic clock, the system clock, the environment, the library's own
// folder and the settings folders. One body for Windows (Winsock) and one
// for POSIX, nothing else aware of which runs.
#ifndef KIT_PLATFORM_H
#define KIT_PLATFORM_H

#include <stdint.h>

#include "DravInterface.h" // TCS_DispatchHook

typedef intptr_t NetSocket;
static const NetSocket kNoSocket = -1;

enum { kNetAddressesMax = 8 };

// One address of the server, as the system's socket calls take it.
struct NetAddress {
    int family;
    int length;
    union {
        unsigned char bytes[28]; // the largest: an IPv6 address
        double alignment;
    } address;
};

// The addresses of host at port, at most max of them. A numeric address
// (IPv4 or IPv6) is converted at once. A name goes to the system's resolver,
// so that whatever the system resolves (its hosts file, DNS, multicast DNS
// for "pi.local") resolves here too, without holding the caller: the lookup
// is started by one call and its answer read by later ones, each waiting
// for it at most waitMs (0: only looks); on Windows a name gets its IPv4
// addresses only. The count (0 when the host has no address), or -1 while
// the name's lookup is under way.
int NetResolve(const char *host, unsigned short port, int waitMs, NetAddress *addresses, int max);
// Gives up the lookup under way, if any (at unload).
void NetResolveEnd(void);
// Starts a TCP connection to address without waiting: a non-blocking
// socket whose connection is under way (or made), kNoSocket when it failed
// at once.
NetSocket NetConnectStart(const NetAddress *address);
// Waits at most timeoutMs (0: only looks) until one of the connections under
// way (state 0) ends, and marks each that has ended: 1 made, -1 failed.
void NetConnectPoll(const NetSocket *sockets, int *states, int count, int timeoutMs);
// Bytes read now (> 0), 0 when nothing waits, -1 when the peer closed or failed.
int NetReceive(NetSocket socket, char *buffer, int size);
// 1 when all of data went out within timeoutMs, else 0.
int NetSend(NetSocket socket, const char *data, int length, int timeoutMs);
// 1 when something can be read within timeoutMs (or the peer closed), 0 when not.
int NetWaitReadable(NetSocket socket, int timeoutMs);
void NetClose(NetSocket socket);

// On Windows every wait above that lasts keeps the calling thread's
// messages flowing: they are dispatched between slices of at most 10 ms,
// so that the host's windows answer while a call waits. 1 while such a
// dispatch is under way: a call that arrives then comes from the host's
// code, and must answer from what the library knows, without waiting and
// without touching the state of the wait under way. Always 0 elsewhere.
int Dispatching(void);
// What the plug-in hands over through TCS_SetDispatchHooks (null for none):
// called before and after each dispatch, so that the host's code runs in
// the host's floating-point state, and the library's in the plug-in's.
void SetDispatchHooks(TCS_DispatchHook before, TCS_DispatchHook after);

uint64_t MonotonicMilliseconds(void);
double UnixSeconds(void);

// The variable's value into buffer; 0 when it is not set.
int ReadEnvironment(const char *name, char *buffer, int size);
// The folder of this library, ending in its separator; 0 when unknown.
int LibraryFolder(char *buffer, int size);
// The folder of the configuration of this user (allUsers 0) or of every
// user (1), ending in its separator, where no administrator right is
// needed: on Windows the shell's application data folders, this user's and
// the common one (as the installer finds them), else %APPDATA% and
// %PROGRAMDATA% (on XP, "Application Data" under %ALLUSERSPROFILE%);
// elsewhere $XDG_CONFIG_HOME or ~/.config, and /etc. 0 when unknown.
int ConfigFolder(int allUsers, char *buffer, int size);

// Defined by each library: called when it is released by its host
// (FreeLibrary, dlclose), never at process exit on Windows. It closes the
// library's sockets, gives up its lookup and closes its trace.
void LibraryRelease(void);

// --- UDP, for discovery ---

// A non-blocking UDP socket of the family of address (AF_INET or
// AF_INET6), allowed to broadcast; kNoSocket when the system has none
// (IPv6 on Windows XP without it installed).
NetSocket NetUdpOpen(int family);
// The numeric address of host (an IPv4 or IPv6 literal, no name) at port;
// 0 when it is none.
int NetNumericAddress(const char *host, unsigned short port, NetAddress *address);
// The IPv4 broadcast addresses at port: 255.255.255.255, then each
// interface's (getifaddrs natively, SIO_GET_INTERFACE_LIST on Windows);
// the count, at most max.
int NetBroadcastAddresses(unsigned short port, NetAddress *addresses, int max);
// Sends one datagram without waiting: 1 when it went.
int NetUdpSend(NetSocket socket, const NetAddress *to, const char *data, int length);
// One datagram read now: its length (> 0) and sender, 0 when none waits, -1
// on an error.
int NetUdpReceive(NetSocket socket, char *buffer, int size, NetAddress *from);
// The address as text, without the port (IPv6 without brackets), and its port.
void NetAddressText(const NetAddress *address, char *text, int size, unsigned short *port);

#endif
