/* Preloaded into the tests' indiserver, which has no option to choose the
 * address it listens on: a bind to every address (IPv4 or IPv6) becomes a
 * bind to loopback, so that a test's server is never reachable from the
 * network. Any other bind passes unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

int bind(int fd, const struct sockaddr *address, socklen_t length)
{
    static int (*real)(int, const struct sockaddr *, socklen_t);
    if (real == NULL)
        real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
    if (address != NULL && address->sa_family == AF_INET && length >= sizeof(struct sockaddr_in)) {
        struct sockaddr_in local;
        memcpy(&local, address, sizeof local);
        if (local.sin_addr.s_addr == htonl(INADDR_ANY)) {
            local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            return real(fd, (const struct sockaddr *)&local, sizeof local);
        }
    } else if (address != NULL && address->sa_family == AF_INET6 && length >= sizeof(struct sockaddr_in6)) {
        struct sockaddr_in6 local;
        memcpy(&local, address, sizeof local);
        if (memcmp(&local.sin6_addr, &in6addr_any, sizeof in6addr_any) == 0) {
            local.sin6_addr = in6addr_loopback;
            return real(fd, (const struct sockaddr *)&local, sizeof local);
        }
    }
    return real(fd, address, length);
}
