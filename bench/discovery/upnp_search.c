/* A head unit on Debian's libupnp: one UpnpSearchAsync on an interface, and what the library hands
 * back before its own search timeout. Prints "found SECONDS LOCATION" per answer and then
 * "timeout SECONDS", both counted from the search call; exits 2 when the library never times out. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <upnp.h>

static struct timespec searched;

static double since_search(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - searched.tv_sec) + (double)(now.tv_nsec - searched.tv_nsec) / 1e9;
}

static int on_event(Upnp_EventType type, const void *event, void *cookie)
{
    (void)cookie;
    if (type == UPNP_DISCOVERY_SEARCH_RESULT) {
        printf("found %.3f %s\n", since_search(), UpnpDiscovery_get_Location_cstr((const UpnpDiscovery *)event));
    } else if (type == UPNP_DISCOVERY_SEARCH_TIMEOUT) {
        printf("timeout %.3f\n", since_search());
        fflush(stdout);
        _exit(0); /* the library's threads are not ours to wind down mid-callback */
    }
    fflush(stdout);
    return 0;
}

int main(int argc, char **argv)
{
    UpnpClient_Handle handle;
    if (argc != 4) {
        fprintf(stderr, "usage: %s INTERFACE MX TARGET\n", argv[0]);
        return 1;
    }
    const int mx = atoi(argv[2]);
    int started = UpnpInit2(argv[1], 0);
    /* A fresh link's IPv6 address stays tentative for a while, and libupnp cannot bind to it. */
    for (int tries = 0; started == UPNP_E_SOCKET_BIND && tries < 50; ++tries) {
        UpnpFinish();
        usleep(100000);
        started = UpnpInit2(argv[1], 0);
    }
    if (started != UPNP_E_SUCCESS || UpnpRegisterClient(on_event, NULL, &handle) != UPNP_E_SUCCESS) {
        fprintf(stderr, "libupnp did not start on %s\n", argv[1]);
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &searched);
    if (UpnpSearchAsync(handle, mx, argv[3], NULL) != UPNP_E_SUCCESS)
        return 1;
    sleep((unsigned)mx + 3); /* bounded whatever the library does */
    return 2;
}
