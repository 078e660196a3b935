/* Preloaded into the INDI library's probe (and, built for i386, into Wine's
 * processes): a resolver that takes 10 s to answer for the name "slow.test",
 * as a name server that cannot be reached does, and then answers 127.0.0.1.
 * getaddrinfo and gethostbyname_r hold their caller for the 10 s; a
 * getaddrinfo_a request stays under way for 10 s (one at a time; gai_suspend
 * waits no longer than it is told). Every other name goes to the system's
 * resolver unchanged, and "slow.test" never leaves the process. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <time.h>

enum { kSlowSeconds = 10 };

/* The next function of that name: the system's. */
#define REAL(name)                                                                                                  \
    static __typeof__(&name) real_##name;                                                                           \
    if (real_##name == NULL)                                                                                         \
    real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static int Slow(const char *name)
{
    return name != NULL && strcmp(name, "slow.test") == 0;
}

static double Now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

static void Pause(double seconds)
{
    if (seconds <= 0)
        return;
    struct timespec t = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    while (nanosleep(&t, &t) != 0 && errno == EINTR)
        ;
}

static int Answer(const char *service, const struct addrinfo *hints, struct addrinfo **result)
{
    REAL(getaddrinfo);
    struct addrinfo numeric;
    memset(&numeric, 0, sizeof numeric);
    if (hints != NULL)
        numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    return real_getaddrinfo("127.0.0.1", service, &numeric, result);
}

int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints, struct addrinfo **result)
{
    REAL(getaddrinfo);
    if (!Slow(node) || (hints != NULL && (hints->ai_flags & AI_NUMERICHOST)))
        return real_getaddrinfo(node, service, hints, result);
    Pause(kSlowSeconds);
    return Answer(service, hints, result);
}

/* Wine's Winsock looks names up with this one (gethostbyname and
 * WSAAsyncGetHostByName, the latter on a thread of its own). */
int gethostbyname_r(const char *name, struct hostent *entry, char *buffer, size_t size, struct hostent **result,
                    int *error)
{
    REAL(gethostbyname_r);
    if (Slow(name)) {
        Pause(kSlowSeconds);
        name = "127.0.0.1";
    }
    return real_gethostbyname_r(name, entry, buffer, size, result, error);
}

/* The slow request under way (one at a time), and when it was started. */
static struct gaicb *gSlow;
static double gStarted;

int getaddrinfo_a(int mode, struct gaicb *list[], int count, struct sigevent *notification)
{
    REAL(getaddrinfo_a);
    if (count != 1 || !Slow(list[0]->ar_name))
        return real_getaddrinfo_a(mode, list, count, notification);
    if (gSlow != NULL)
        return EAI_AGAIN;
    gSlow = list[0];
    gStarted = Now();
    list[0]->ar_result = NULL;
    return 0;
}

int gai_error(struct gaicb *request)
{
    REAL(gai_error);
    if (request != gSlow)
        return real_gai_error(request);
    if (Now() - gStarted < kSlowSeconds)
        return EAI_INPROGRESS;
    gSlow = NULL;
    return Answer(request->ar_service, request->ar_request, &request->ar_result);
}

int gai_suspend(const struct gaicb *const list[], int count, const struct timespec *timeout)
{
    REAL(gai_suspend);
    if (count != 1 || list[0] != gSlow)
        return real_gai_suspend(list, count, timeout);
    double left = gStarted + kSlowSeconds - Now(), most = timeout->tv_sec + timeout->tv_nsec / 1e9;
    Pause(left < most ? left : most);
    return left <= most ? 0 : EAI_AGAIN;
}

int gai_cancel(struct gaicb *request)
{
    REAL(gai_cancel);
    if (request != gSlow)
        return real_gai_cancel(request);
    gSlow = NULL;
    return EAI_CANCELED;
}
