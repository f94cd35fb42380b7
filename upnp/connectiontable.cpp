#include "upnp/connectiontable.h"

#include "upnp/httplimits.h"
#include "upnp/listenerleak.h"

#include <glib-unix.h>
#include <libsoup/soup.h>
#include <poll.h>

#include <unordered_map>
#include <utility>

namespace
{

const guint sweepIntervalMilliseconds = 1000;

enum class State { WaitingForHead, Busy, Held };

} // namespace

struct ConnectionTable::Private {
    struct Connection {
        Private *table = nullptr;
        GSocket *socket = nullptr;
        // Referenced while the connection waits for a head: the request that has started is the
        // only way to take the connection back.
        SoupServerMessage *request = nullptr;
        State state = State::Busy;
        gint64 waitingSince = 0;
        GList waitingLink {};
        GSource *hangUpWatch = nullptr;
        std::function<void()> onHangUp;
    };

    // The entry outlived its connection: libsoup closed it, and its request is no way back to it.
    static bool gone(const Connection &connection)
    {
        return g_socket_is_closed(connection.socket);
    }
    Connection &connectionOf(GSocket *socket);
    Connection *find(SoupServerMessage *request);
    void setRequest(Connection &connection, SoupServerMessage *request);
    void startWaiting(Connection &connection);
    void stopWaiting(Connection &connection);
    void watchHangUp(Connection &connection);
    void stopWatchingHangUp(Connection &connection);
    void forget(Connection &connection);
    void close(Connection &connection);
    static gboolean onHangUp(gint fd, GIOCondition, gpointer connection);
    static gboolean closeOverdue(gpointer self);

    // Nodes of an unordered_map keep their address: the waiting queue and the watches point at them.
    std::unordered_map<GSocket *, Connection> connections;
    // Oldest first.
    GQueue waiting = G_QUEUE_INIT;
    guint sweepTimer = 0;
};

namespace
{

// A connection's first request starts while the listener accepts it, before the listener would
// drop its own reference.
void dropListenerReference(GSocket *socket)
{
    static const GQuark seen = g_quark_from_static_string("tmserverd-socket-seen");
    if (g_object_get_qdata(G_OBJECT(socket), seen))
        return;
    g_object_set_qdata(G_OBJECT(socket), seen, GINT_TO_POINTER(1));
    if (ListenerLeak::keepsAcceptedSockets())
        g_object_unref(socket);
}

} // namespace

ConnectionTable::Private::Connection &ConnectionTable::Private::connectionOf(GSocket *socket)
{
    auto known = connections.find(socket);
    if (known != connections.end() && gone(known->second)) {
        forget(known->second);
        known = connections.end();
    }
    if (known != connections.end())
        return known->second;
    Connection &connection = connections[socket];
    connection.table = this;
    // Referenced, so that whether libsoup has closed it can always be asked.
    connection.socket = G_SOCKET(g_object_ref(socket));
    connection.waitingLink.data = &connection;
    return connection;
}

ConnectionTable::Private::Connection *ConnectionTable::Private::find(SoupServerMessage *request)
{
    GSocket *socket = soup_server_message_get_socket(request);
    const auto known = socket ? connections.find(socket) : connections.end();
    return known == connections.end() ? nullptr : &known->second;
}

void ConnectionTable::Private::setRequest(Connection &connection, SoupServerMessage *request)
{
    if (request)
        g_object_ref(request);
    if (connection.request)
        g_object_unref(connection.request);
    connection.request = request;
}

void ConnectionTable::Private::startWaiting(Connection &connection)
{
    stopWaiting(connection);
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

void ConnectionTable::Private::watchHangUp(Connection &connection)
{
    if (connection.hangUpWatch)
        return;
    // A client may shut down its sending side once its request is out and still read the answer:
    // only a reset tells that a held request's client is gone.
    connection.hangUpWatch = g_unix_fd_source_new(g_socket_get_fd(connection.socket), GIOCondition(POLLHUP | POLLERR));
    g_source_set_priority(connection.hangUpWatch, G_PRIORITY_HIGH);
    g_source_set_callback(connection.hangUpWatch, G_SOURCE_FUNC(onHangUp), &connection, nullptr);
    g_source_attach(connection.hangUpWatch, nullptr);
}

void ConnectionTable::Private::stopWatchingHangUp(Connection &connection)
{
    if (!connection.hangUpWatch)
        return;
    g_source_destroy(connection.hangUpWatch);
    g_clear_pointer(&connection.hangUpWatch, g_source_unref);
}

void ConnectionTable::Private::forget(Connection &connection)
{
    stopWatchingHangUp(connection);
    stopWaiting(connection);
    setRequest(connection, nullptr);
    GSocket *socket = connection.socket;
    connections.erase(socket);
    g_object_unref(socket);
}

void ConnectionTable::Private::close(Connection &connection)
{
    SoupServerMessage *request = connection.request ? SOUP_SERVER_MESSAGE(g_object_ref(connection.request)) : nullptr;
    const bool open = !gone(connection);
    // Out of the table first: taking the connection away makes libsoup finish what it carried.
    forget(connection);
    if (request && open)
        closeConnection(request);
    if (request)
        g_object_unref(request);
}

gboolean ConnectionTable::Private::onHangUp(gint, GIOCondition, gpointer connectionPointer)
{
    auto &connection = *static_cast<Connection *>(connectionPointer);
    g_clear_pointer(&connection.hangUpWatch, g_source_unref);
    if (gone(connection))
        connection.table->forget(connection);
    else if (connection.state == State::Held)
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

ConnectionTable::ConnectionTable()
    : d(std::make_unique<Private>())
{
}

ConnectionTable::~ConnectionTable()
{
    while (!d->connections.empty())
        d->forget(d->connections.begin()->second);
    if (d->sweepTimer)
        g_source_remove(d->sweepTimer);
}

void ConnectionTable::requestStarted(SoupServerMessage *request)
{
    GSocket *socket = soup_server_message_get_socket(request);
    if (!socket || g_socket_is_closed(socket))
        return;
    dropListenerReference(socket);
    Private::Connection &connection = d->connectionOf(socket);
    d->stopWatchingHangUp(connection);
    connection.state = State::WaitingForHead;
    d->setRequest(connection, request);
    d->startWaiting(connection);
}

void ConnectionTable::headArrived(SoupServerMessage *request)
{
    Private::Connection *connection = d->find(request);
    if (!connection || connection->request != request)
        return;
    connection->state = State::Busy;
    d->stopWaiting(*connection);
    d->setRequest(*connection, nullptr);
}

// libsoup decides whether to read another request on the connection after this signal, from
// the answer's headers.
void ConnectionTable::requestEnded(SoupServerMessage *request)
{
    soup_message_headers_replace(soup_server_message_get_response_headers(request), "Connection", "close");
    if (Private::Connection *connection = d->find(request))
        d->forget(*connection);
}

void ConnectionTable::hold(SoupServerMessage *request, std::function<void()> onHangUp)
{
    Private::Connection *connection = d->find(request);
    if (!connection)
        return;
    connection->state = State::Held;
    connection->onHangUp = std::move(onHangUp);
    d->watchHangUp(*connection);
}

void ConnectionTable::release(SoupServerMessage *request)
{
    Private::Connection *connection = d->find(request);
    if (!connection || connection->state != State::Held)
        return;
    connection->state = State::Busy;
    connection->onHangUp = {};
    d->stopWatchingHangUp(*connection);
}

void ConnectionTable::closeConnection(SoupServerMessage *request)
{
    GIOStream *stream = soup_server_message_steal_connection(request);
    if (stream) {
        g_io_stream_close(stream, nullptr, nullptr);
        g_object_unref(stream);
    }
}
