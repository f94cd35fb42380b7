#include "upnp/acceptguard.h"

#include "platform/tmserver_debug.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>
#include <unistd.h>

namespace
{

const guint reviveDelayMilliseconds = 250;
const char guardsKey[] = "tmserverd-accept-guards";

// One listening socket of the server and the watch that notices it is no longer accepted from.
struct ListenerGuard {
    SoupServer *server = nullptr;
    GSocket *socket = nullptr;
    GSource *pending = nullptr;
    guint reviveTimer = 0;
};

void watchPending(ListenerGuard *guard);

// Each revival adds a listener that the server keeps; only revive when an accept can succeed.
bool descriptorAvailable(GSocket *socket)
{
    const int probe = dup(g_socket_get_fd(socket));
    if (probe < 0)
        return false;
    close(probe);
    return true;
}

gboolean reviveIfStillPending(gpointer guardPointer)
{
    auto *guard = static_cast<ListenerGuard *>(guardPointer);
    guard->reviveTimer = 0;
    if ((g_socket_condition_check(guard->socket, G_IO_IN) & G_IO_IN) && descriptorAvailable(guard->socket)) {
        GError *error = nullptr;
        if (soup_server_listen_socket(guard->server, guard->socket, SoupServerListenOptions(0), &error)) {
            qCWarning(lcUpnp, "The HTTP server had stopped accepting connections; listening again");
        } else {
            qCWarning(lcUpnp, "Cannot listen again: %s", error->message);
            g_error_free(error);
        }
    }
    watchPending(guard);
    return G_SOURCE_REMOVE;
}

// Runs below the listener's priority: while the listener is alive it accepts first and this
// never sees a connection waiting.
gboolean onConnectionPending(GSocket *, GIOCondition, gpointer guardPointer)
{
    auto *guard = static_cast<ListenerGuard *>(guardPointer);
    g_clear_pointer(&guard->pending, g_source_unref);
    guard->reviveTimer = g_timeout_add(reviveDelayMilliseconds, reviveIfStillPending, guard);
    return G_SOURCE_REMOVE;
}

void watchPending(ListenerGuard *guard)
{
    guard->pending = g_socket_create_source(guard->socket, G_IO_IN, nullptr);
    g_source_set_priority(guard->pending, G_PRIORITY_LOW);
    g_source_set_callback(guard->pending, G_SOURCE_FUNC(onConnectionPending), guard, nullptr);
    g_source_attach(guard->pending, nullptr);
}

void freeGuard(gpointer guardPointer)
{
    auto *guard = static_cast<ListenerGuard *>(guardPointer);
    if (guard->pending) {
        g_source_destroy(guard->pending);
        g_source_unref(guard->pending);
    }
    if (guard->reviveTimer)
        g_source_remove(guard->reviveTimer);
    g_object_unref(guard->socket);
    delete guard;
}

void freeGuards(gpointer guards)
{
    g_slist_free_full(static_cast<GSList *>(guards), freeGuard);
}

} // namespace

void AcceptGuard::install(GUPnPContext *context)
{
    SoupServer *server = gupnp_context_get_server(context);
    GSList *guards = nullptr;
    GSList *listeners = soup_server_get_listeners(server);
    for (GSList *listener = listeners; listener; listener = listener->next) {
        auto *guard = new ListenerGuard;
        guard->server = server;
        guard->socket = G_SOCKET(g_object_ref(listener->data));
        watchPending(guard);
        guards = g_slist_prepend(guards, guard);
    }
    g_slist_free(listeners);
    g_object_set_data_full(G_OBJECT(server), guardsKey, guards, freeGuards);
}
