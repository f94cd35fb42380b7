#include "upnp/connectionreaper.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <cerrno>
#include <sys/socket.h>

namespace
{

const char watchesKey[] = "tmserverd-idle-connections";

// One idle kept-alive connection: the request it last carried (a reference, through which the
// connection can be stolen) and the watch on its socket.
struct IdleWatch {
    GHashTable *watches = nullptr;
    GSocket *socket = nullptr;
    SoupServerMessage *lastRequest = nullptr;
    GSource *socketWatch = nullptr;
    gulong disconnectedHandler = 0;
};

void freeWatch(gpointer data)
{
    auto *watch = static_cast<IdleWatch *>(data);
    g_signal_handler_disconnect(watch->lastRequest, watch->disconnectedHandler);
    g_source_destroy(watch->socketWatch);
    g_source_unref(watch->socketWatch);
    g_object_unref(watch->lastRequest);
    delete watch;
}

// Only a peek: a new request's bytes are libsoup's to read.
bool peerHasClosed(GSocket *socket)
{
    char byte;
    const ssize_t peeked = recv(g_socket_get_fd(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EINTR);
}

gboolean onIdleSocketReady(GSocket *socket, GIOCondition, gpointer watchesPointer)
{
    auto *watches = static_cast<GHashTable *>(watchesPointer);
    auto *watch = static_cast<IdleWatch *>(g_hash_table_lookup(watches, socket));
    if (!watch)
        return G_SOURCE_REMOVE;
    // Out of the table first: stealing the connection emits "disconnected", which must find
    // nothing left to forget.
    g_hash_table_steal(watches, socket);
    if (peerHasClosed(socket))
        ConnectionReaper::closeConnection(watch->lastRequest);
    freeWatch(watch);
    return G_SOURCE_REMOVE;
}

// The connection no longer knows its socket by the time it says it is disconnected.
void forgetConnection(SoupServerMessage *, gpointer watchPointer)
{
    auto *watch = static_cast<IdleWatch *>(watchPointer);
    g_hash_table_remove(watch->watches, watch->socket);
}

void watchIdleConnection(SoupServer *, SoupServerMessage *message, gpointer watchesPointer)
{
    auto *watches = static_cast<GHashTable *>(watchesPointer);
    GSocket *socket = soup_server_message_get_socket(message);
    if (!socket || g_socket_is_closed(socket))
        return;
    auto *watch = new IdleWatch;
    watch->watches = watches;
    watch->socket = socket;
    watch->lastRequest = SOUP_SERVER_MESSAGE(g_object_ref(message));
    watch->disconnectedHandler = g_signal_connect(message, "disconnected", G_CALLBACK(forgetConnection), watch);
    // Above libsoup's default priority, so the end of the connection is seen here first: once
    // libsoup has read it, the connection can no longer be stolen safely.
    watch->socketWatch = g_socket_create_source(socket, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
    g_source_set_priority(watch->socketWatch, G_PRIORITY_HIGH);
    g_source_set_callback(watch->socketWatch, G_SOURCE_FUNC(onIdleSocketReady), watches, nullptr);
    g_source_attach(watch->socketWatch, nullptr);
    g_hash_table_replace(watches, socket, watch);
}

bool listenerKeepsAcceptedSockets()
{
    return soup_get_major_version() == 3 && soup_get_minor_version() == 2;
}

// The first request of a connection starts while it is being accepted, with the listener's
// reference on the socket still held and never to be dropped by the listener itself.
void dropListenerReference(GSocket *socket)
{
    static const GQuark seen = g_quark_from_static_string("tmserverd-socket-seen");
    if (g_object_get_qdata(G_OBJECT(socket), seen))
        return;
    g_object_set_qdata(G_OBJECT(socket), seen, GINT_TO_POINTER(1));
    if (listenerKeepsAcceptedSockets())
        g_object_unref(socket);
}

void requestStarted(SoupServer *, SoupServerMessage *message, gpointer watches)
{
    GSocket *socket = soup_server_message_get_socket(message);
    if (!socket)
        return;
    dropListenerReference(socket);
    // A pipelined request may start from libsoup's buffer while the socket shows nothing new.
    g_hash_table_remove(static_cast<GHashTable *>(watches), socket);
}

} // namespace

void ConnectionReaper::install(GUPnPContext *context)
{
    SoupServer *server = gupnp_context_get_server(context);
    GHashTable *watches = g_hash_table_new_full(g_direct_hash, g_direct_equal, nullptr, freeWatch);
    g_object_set_data_full(G_OBJECT(server), watchesKey, watches, GDestroyNotify(g_hash_table_destroy));
    g_signal_connect(server, "request-started", G_CALLBACK(requestStarted), watches);
    g_signal_connect(server, "request-finished", G_CALLBACK(watchIdleConnection), watches);
}

void ConnectionReaper::closeConnection(SoupServerMessage *request)
{
    GIOStream *stream = soup_server_message_steal_connection(request);
    if (stream) {
        g_io_stream_close(stream, nullptr, nullptr);
        g_object_unref(stream);
    }
}
