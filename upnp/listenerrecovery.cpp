#include "upnp/listenerrecovery.h"

#include "platform/tmserver_debug.h"
#include "upnp/httplimits.h"

#include <libsoup/soup.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace
{

// One listening socket of the server and the watch that notices it is no longer accepted from.
struct ListenerWatch {
    SoupServer *server = nullptr;
    GSocket *socket = nullptr;
    GSource *pending = nullptr;
    guint retryTimer = 0;
};

void watchPending(ListenerWatch *watch);

// Each revival adds a listener that the server keeps; only revive when an accept can succeed.
bool descriptorAvailable(GSocket *socket)
{
    const int probe = dup(g_socket_get_fd(socket));
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

gboolean reviveIfStillPending(gpointer watchPointer)
{
    auto *watch = static_cast<ListenerWatch *>(watchPointer);
    watch->retryTimer = 0;
    if ((g_socket_condition_check(watch->socket, G_IO_IN) & G_IO_IN) && descriptorAvailable(watch->socket)) {
        GError *error = nullptr;
        if (soup_server_listen_socket(watch->server, watch->socket, SoupServerListenOptions(0), &error)) {
            qCWarning(lcUpnp, "The HTTP server had stopped accepting connections; listening again");
        } else {
            qCWarning(lcUpnp, "Cannot listen again: %s", error->message);
            g_error_free(error);
        }
    }
    watchPending(watch);
    return G_SOURCE_REMOVE;
}

// Runs below the listener's priority: while the listener is alive it accepts first and this
// never sees a connection waiting.
gboolean onConnectionPending(GSocket *, GIOCondition, gpointer watchPointer)
{
    auto *watch = static_cast<ListenerWatch *>(watchPointer);
    g_clear_pointer(&watch->pending, g_source_unref);
    watch->retryTimer = g_timeout_add(HttpLimits::acceptRetryMilliseconds, reviveIfStillPending, watch);
    return G_SOURCE_REMOVE;
}

void watchPending(ListenerWatch *watch)
{
    watch->pending = g_socket_create_source(watch->socket, G_IO_IN, nullptr);
    g_source_set_priority(watch->pending, G_PRIORITY_LOW);
    g_source_set_callback(watch->pending, G_SOURCE_FUNC(onConnectionPending), watch, nullptr);
    g_source_attach(watch->pending, nullptr);
}

} // namespace

struct ListenerRecovery::Private {
    std::vector<ListenerWatch> watches;
};

ListenerRecovery::ListenerRecovery(SoupServer *server)
    : d(std::make_unique<Private>())
{
    GSList *listeners = soup_server_get_listeners(server);
    d->watches.resize(g_slist_length(listeners));
    ListenerWatch *watch = d->watches.data();
    for (GSList *listener = listeners; listener; listener = listener->next, ++watch) {
        watch->server = server;
        watch->socket = G_SOCKET(g_object_ref(listener->data));
        listen(g_socket_get_fd(watch->socket), SOMAXCONN);
        watchPending(watch);
    }
    g_slist_free(listeners);
}

ListenerRecovery::~ListenerRecovery()
{
    for (ListenerWatch &watch : d->watches) {
        if (watch.pending) {
            g_source_destroy(watch.pending);
            g_source_unref(watch.pending);
        }
        if (watch.retryTimer)
            g_source_remove(watch.retryTimer);
        g_object_unref(watch.socket);
    }
}
