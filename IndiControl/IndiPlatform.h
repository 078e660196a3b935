// The INDI library's thin platform layer: a TCP socket that never blocks
// beyond the time given, a monotonic clock, the system clock, the
// environment and the library's own folder. One body for Windows (Winsock)
// and one for POSIX, nothing else aware of which runs.
#ifndef INDI_PLATFORM_H
#define INDI_PLATFORM_H

#include <stdint.h>

typedef intptr_t NetSocket;
static const NetSocket kNoSocket = -1;

// A connected, non-blocking TCP socket to host:port, or kNoSocket when the
// connection is refused or not made within timeoutMs.
NetSocket NetConnect(const char *host, unsigned short port, int timeoutMs);
// Bytes read now (> 0), 0 when nothing waits, -1 when the peer closed or failed.
int NetReceive(NetSocket socket, char *buffer, int size);
// 1 when all of data went out within timeoutMs, else 0.
int NetSend(NetSocket socket, const char *data, int length, int timeoutMs);
// 1 when something can be read within timeoutMs (or the peer closed), 0 when not.
int NetWaitReadable(NetSocket socket, int timeoutMs);
void NetClose(NetSocket socket);

uint64_t MonotonicMilliseconds(void);
double UnixSeconds(void);

// The variable's value into buffer; 0 when it is not set.
int ReadEnvironment(const char *name, char *buffer, int size);
// The folder of this library, ending in its separator; 0 when unknown.
int LibraryFolder(char *buffer, int size);

#endif
