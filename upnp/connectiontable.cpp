#include "upnp/connectiontable.h"

#include "platform/tmserver_debug.h"
#include "upnp/httplimits.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <utility>

namespace
{

const guint sweepIntervalMilliseconds = 1000;

// The remote end names a connection: libsoup gives streams handed to it no socket of their own
// (soup_server_message_get_socket() is null for them).
std::string keyOf(GSocketAddress *address)
{
    if (!G_IS_INET_SOCKET_ADDRESS(address))
        return {};
    GInetAddress *host = g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(address));
    const guint16 port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(address));
    std::string key(
        reinterpret_cast<const char *>(g_inet_address_to_bytes(host)), g_inet_address_get_native_size(host));
    key.append(reinterpret_cast<const char *>(&port), sizeof port);
    return key;
}

// A socket of our own on the server's listening socket, so that its listener can go.
GSocket *takeListeningSocket(SoupServer *server)
{
    GSList *listeners = soup_server_get_listeners(server);
    const int fd = listeners ? fcntl(g_socket_get_fd(G_SOCKET(listeners->data)), F_DUPFD_CLOEXEC, 0) : -1;
    g_slist_free(listeners);
    GSocket *socket = fd >= 0 ? g_socket_new_from_fd(fd, nullptr) : nullptr;
    if (!socket && fd >= 0)
        ::close(fd);
    return socket;
}

} // namespace

struct ConnectionTable::Private {
    struct Connection {
        Private *table = nullptr;
        GSocket *socket = nullptr;
        // Not referenced: libsoup owns it, and its end is the connection's.
        GObject *stream = nullptr;
        std::string key;
        gint64 waitingSince = 0;
        GList waitingLink {};
        GSource *hangUpWatch = nullptr;
        std::function<void()> onHangUp;
    };

    void accept();
    void pauseAccepting();
    void watchListeningSocket();
    Connection *find(SoupServerMessage *request);
    void startWaiting(Connection &connection);
    void stopWaiting(Connection &connection);
    void stopWatchingHangUp(Connection &connection);
    void forget(Connection &connection);
    void close(Connection &connection);
    static gboolean onIncoming(GSocket *, GIOCondition, gpointer self);
    static gboolean resumeAccepting(gpointer self);
    static void onStreamGone(gpointer connection, GObject *);
    static gboolean onHangUp(gint fd, GIOCondition, gpointer connection);
    static gboolean closeOverdue(gpointer self);

    SoupServer *server = nullptr;
    GSocket *listening = nullptr;
    // The listening socket is bound to one address: every connection's local end.
    GSocketAddress *localAddress = nullptr;
    GSource *incoming = nullptr;
    guint retryTimer = 0;
    bool outOfDescriptors = false;
    // Nodes of an unordered_map keep their address: the waiting queue and the watches point at them.
    std::unordered_map<std::string, Connection> connections;
    // Oldest first.
    GQueue waiting = G_QUEUE_INIT;
    guint sweepTimer = 0;
};

void ConnectionTable::Private::watchListeningSocket()
{
    incoming = g_socket_create_source(listening, G_IO_IN, nullptr);
    g_source_set_callback(incoming, G_SOURCE_FUNC(onIncoming), this, nullptr);
    g_source_attach(incoming, nullptr);
}

// The pending connection stays in the backlog, so the socket stays readable: it is not watched until
// the retry, else the loop would spin.
void ConnectionTable::Private::pauseAccepting()
{
    if (!outOfDescriptors)
        qCWarning(lcUpnp, "No file descriptor left for a new HTTP connection; accepting again once one is free");
    outOfDescriptors = true;
    g_source_destroy(incoming);
    g_clear_pointer(&incoming, g_source_unref);
    retryTimer = g_timeout_add(HttpLimits::acceptRetryMilliseconds, resumeAccepting, this);
}

gboolean ConnectionTable::Private::resumeAccepting(gpointer self)
{
    auto *d = static_cast<Private *>(self);
    d->retryTimer = 0;
    d->watchListeningSocket();
    return G_SOURCE_REMOVE;
}

gboolean ConnectionTable::Private::onIncoming(GSocket *, GIOCondition, gpointer self)
{
    auto *d = static_cast<Private *>(self);
    d->accept();
    return d->incoming ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void ConnectionTable::Private::accept()
{
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSocket) accepted = g_socket_accept(listening, nullptr, &error);
    if (!accepted) {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TOO_MANY_OPEN_FILES)
            || g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NO_SPACE))
            pauseAccepting();
        return;
    }
    // The shortage is over once the connections that waited for it are in: a descriptor freed and
    // taken again at once is the same shortage, and warns no second time.
    if (!(g_socket_condition_check(listening, G_IO_IN) & G_IO_IN))
        outOfDescriptors = false;
    // libsoup sets this only on the sockets it accepts itself; an answer must not wait for an ACK.
    g_socket_set_option(accepted, IPPROTO_TCP, TCP_NODELAY, TRUE, nullptr);
    g_autoptr(GSocketAddress) remote = g_socket_get_remote_address(accepted, nullptr);
    std::string key = keyOf(remote);
    if (key.empty())
        return;
    const auto stale = connections.find(key);
    if (stale != connections.end())
        forget(stale->second);
    g_autoptr(GSocketConnection) stream = g_socket_connection_factory_create_connection(accepted);
    Connection &connection = connections[key];
    connection.table = this;
    connection.socket = G_SOCKET(g_object_ref(accepted));
    connection.stream = G_OBJECT(stream);
    connection.key = std::move(key);
    connection.waitingLink.data = &connection;
    g_object_weak_ref(connection.stream, onStreamGone, &connection);
    startWaiting(connection);
    // The server may read and answer the request right away: the entry is complete before.
    soup_server_accept_iostream(server, G_IO_STREAM(stream), localAddress, remote, nullptr);
}

ConnectionTable::Private::Connection *ConnectionTable::Private::find(SoupServerMessage *request)
{
    const auto known = connections.find(keyOf(soup_server_message_get_remote_address(request)));
    return known == connections.end() ? nullptr : &known->second;
}

void ConnectionTable::Private::startWaiting(Connection &connection)
{
    if (waiting.length >= HttpLimits::maxWaitingConnections)
        close(*static_cast<Connection *>(waiting.head->data));
    connection.waitingSince = g_get_monotonic_time();
    g_queue_push_tail_link(&waiting, &connection.waitingLink);
    if (!sweepTimer)
        sweepTimer = g_timeout_add(sweepIntervalMilliseconds, closeOverdue, this);
}

void ConnectionTable::Private::stopWaiting(Connection &connection)
{
    if (connection.waitingLink.prev || waiting.head == &connection.waitingLink)
        g_queue_unlink(&waiting, &connection.waitingLink);
}

void ConnectionTable::Private::stopWatchingHangUp(Connection &connection)
{
    connection.onHangUp = {};
    if (!connection.hangUpWatch)
        return;
    g_source_destroy(connection.hangUpWatch);
    g_clear_pointer(&connection.hangUpWatch, g_source_unref);
}

void ConnectionTable::Private::forget(Connection &connection)
{
    stopWatchingHangUp(connection);
    stopWaiting(connection);
    if (connection.stream)
        g_object_weak_unref(connection.stream, onStreamGone, &connection);
    g_object_unref(connection.socket);
    const std::string key = std::move(connection.key);
    connections.erase(key);
}

// libsoup reads the shutdown as the client's end and finishes what the connection carried.
void ConnectionTable::Private::close(Connection &connection)
{
    stopWaiting(connection);
    g_socket_shutdown(connection.socket, TRUE, TRUE, nullptr);
}

void ConnectionTable::Private::onStreamGone(gpointer connectionPointer, GObject *)
{
    auto &connection = *static_cast<Connection *>(connectionPointer);
    connection.stream = nullptr;
    connection.table->forget(connection);
}

gboolean ConnectionTable::Private::onHangUp(gint, GIOCondition, gpointer connectionPointer)
{
    auto &connection = *static_cast<Connection *>(connectionPointer);
    g_clear_pointer(&connection.hangUpWatch, g_source_unref);
    if (connection.onHangUp)
        std::exchange(connection.onHangUp, {})();
    return G_SOURCE_REMOVE;
}

gboolean ConnectionTable::Private::closeOverdue(gpointer self)
{
    auto *table = static_cast<Private *>(self);
    const gint64 startedBefore = g_get_monotonic_time() - HttpLimits::headDeadlineSeconds * G_USEC_PER_SEC;
    while (table->waiting.head && static_cast<Connection *>(table->waiting.head->data)->waitingSince <= startedBefore)
        table->close(*static_cast<Connection *>(table->waiting.head->data));
    if (table->waiting.head)
        return G_SOURCE_CONTINUE;
    table->sweepTimer = 0;
    return G_SOURCE_REMOVE;
}

ConnectionTable::ConnectionTable(GUPnPContext *context)
    : d(std::make_unique<Private>())
{
    // GUPnP reads its server's address once, for every URL it publishes and every Host it checks:
    // before the server's own listener goes.
    gupnp_context_get_port(context);
    d->server = gupnp_context_get_server(context);
    d->listening = takeListeningSocket(d->server);
    soup_server_disconnect(d->server);
    if (!d->listening) {
        qCWarning(lcUpnp, "The HTTP server has no listening socket to take over");
        return;
    }
    // GLib's default backlog of 10 would stall a head unit that opens more connections at once.
    g_socket_set_listen_backlog(d->listening, SOMAXCONN);
    g_socket_listen(d->listening, nullptr);
    d->localAddress = g_socket_get_local_address(d->listening, nullptr);
    d->watchListeningSocket();
}

ConnectionTable::~ConnectionTable()
{
    while (!d->connections.empty())
        d->forget(d->connections.begin()->second);
    if (d->sweepTimer)
        g_source_remove(d->sweepTimer);
    if (d->retryTimer)
        g_source_remove(d->retryTimer);
    if (d->incoming) {
        g_source_destroy(d->incoming);
        g_source_unref(d->incoming);
    }
    g_clear_object(&d->localAddress);
    g_clear_object(&d->listening);
}

// Every answer closes its connection: a server fed with soup_server_accept_iostream() and no
// listener of its own keeps no connection alive anyway, and the client must not send a second
// request on it. Keep-alive stays out while the system's libsoup is 3.2: it keeps a kept-alive
// connection whose client hangs up before its next request, descriptor and all, for the server's
// life (fixed in libsoup 3.3.0 by commit d20c6601, first stable release 3.4.0; check with
// `pkg-config --modversion libsoup-3.0` and bench_churn's "hangup" rows).
void ConnectionTable::headArrived(SoupServerMessage *request)
{
    soup_message_headers_replace(soup_server_message_get_response_headers(request), "Connection", "close");
    if (Private::Connection *connection = d->find(request))
        d->stopWaiting(*connection);
}

void ConnectionTable::hold(SoupServerMessage *request, std::function<void()> onHangUp)
{
    Private::Connection *connection = d->find(request);
    if (!connection || connection->hangUpWatch)
        return;
    connection->onHangUp = std::move(onHangUp);
    connection->hangUpWatch
        = g_unix_fd_source_new(g_socket_get_fd(connection->socket), GIOCondition(POLLHUP | POLLERR));
    g_source_set_priority(connection->hangUpWatch, G_PRIORITY_HIGH);
    g_source_set_callback(connection->hangUpWatch, G_SOURCE_FUNC(Private::onHangUp), connection, nullptr);
    g_source_attach(connection->hangUpWatch, nullptr);
}

void ConnectionTable::release(SoupServerMessage *request)
{
    if (Private::Connection *connection = d->find(request))
        d->stopWatchingHangUp(*connection);
}

void ConnectionTable::close(SoupServerMessage *request)
{
    if (Private::Connection *connection = d->find(request))
        d->close(*connection);
}
