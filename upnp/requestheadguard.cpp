#include "upnp/requestheadguard.h"

#include "upnp/connectionreaper.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

namespace
{

const char waitingKey[] = "tmserverd-waiting-heads";
const guint sweepIntervalMilliseconds = 1000;

struct WaitingHead {
    SoupServerMessage *request = nullptr;
    gint64 startedAt = 0;
};

// The requests whose head has not arrived yet, and the last requests of kept-alive connections,
// oldest first; none is referenced, each is watched.
struct WaitingHeads {
    GQueue heads = G_QUEUE_INIT;
    guint sweepTimer = 0;
};

void onRequestGone(gpointer waitingPointer, GObject *request);

void unwatch(WaitingHeads *waiting, GList *link)
{
    auto *head = static_cast<WaitingHead *>(link->data);
    g_queue_delete_link(&waiting->heads, link);
    g_signal_handlers_disconnect_by_data(head->request, waiting);
    g_object_weak_unref(G_OBJECT(head->request), onRequestGone, waiting);
    delete head;
}

GList *findHead(WaitingHeads *waiting, gconstpointer request)
{
    for (GList *link = waiting->heads.head; link; link = link->next) {
        if (static_cast<WaitingHead *>(link->data)->request == request)
            return link;
    }
    return nullptr;
}

void onRequestGone(gpointer waitingPointer, GObject *request)
{
    auto *waiting = static_cast<WaitingHeads *>(waitingPointer);
    if (GList *link = findHead(waiting, request)) {
        delete static_cast<WaitingHead *>(link->data);
        g_queue_delete_link(&waiting->heads, link);
    }
}

void closeOldest(WaitingHeads *waiting)
{
    SoupServerMessage *request = static_cast<WaitingHead *>(waiting->heads.head->data)->request;
    unwatch(waiting, waiting->heads.head);
    ConnectionReaper::closeConnection(request);
}

gboolean closeOverdue(gpointer waitingPointer)
{
    auto *waiting = static_cast<WaitingHeads *>(waitingPointer);
    const gint64 startedBefore = g_get_monotonic_time() - RequestHeadGuard::headDeadlineSeconds * G_USEC_PER_SEC;
    while (waiting->heads.head && static_cast<WaitingHead *>(waiting->heads.head->data)->startedAt <= startedBefore)
        closeOldest(waiting);
    if (waiting->heads.head)
        return G_SOURCE_CONTINUE;
    waiting->sweepTimer = 0;
    return G_SOURCE_REMOVE;
}

void headArrived(SoupServerMessage *request, gpointer waitingPointer)
{
    auto *waiting = static_cast<WaitingHeads *>(waitingPointer);
    if (GList *link = findHead(waiting, request))
        unwatch(waiting, link);
}

void startWaiting(WaitingHeads *waiting, SoupServerMessage *request)
{
    if (waiting->heads.length >= RequestHeadGuard::maxWaitingConnections)
        closeOldest(waiting);
    g_queue_push_tail(&waiting->heads, new WaitingHead {request, g_get_monotonic_time()});
    g_object_weak_ref(G_OBJECT(request), onRequestGone, waiting);
    if (!waiting->sweepTimer)
        waiting->sweepTimer = g_timeout_add(sweepIntervalMilliseconds, closeOverdue, waiting);
}

// A kept-alive connection waits for its next request as the last one it carried.
void stopWaitingOn(WaitingHeads *waiting, GSocket *socket)
{
    for (GList *link = waiting->heads.head; link; link = link->next) {
        if (soup_server_message_get_socket(static_cast<WaitingHead *>(link->data)->request) == socket) {
            unwatch(waiting, link);
            return;
        }
    }
}

void watchHead(SoupServer *, SoupServerMessage *request, gpointer waitingPointer)
{
    auto *waiting = static_cast<WaitingHeads *>(waitingPointer);
    if (GSocket *socket = soup_server_message_get_socket(request))
        stopWaitingOn(waiting, socket);
    startWaiting(waiting, request);
    g_signal_connect(request, "got-headers", G_CALLBACK(headArrived), waiting);
}

// libsoup 3.2 starts the next request on a kept-alive connection only once its first bytes come;
// until then the connection is reached through its last request, which the reaper keeps.
void watchNextHead(SoupServer *, SoupServerMessage *lastRequest, gpointer waiting)
{
    GSocket *socket = soup_server_message_get_socket(lastRequest);
    if (socket && !g_socket_is_closed(socket))
        startWaiting(static_cast<WaitingHeads *>(waiting), lastRequest);
}

void freeWaitingHeads(gpointer waitingPointer)
{
    auto *waiting = static_cast<WaitingHeads *>(waitingPointer);
    while (waiting->heads.head)
        unwatch(waiting, waiting->heads.head);
    if (waiting->sweepTimer)
        g_source_remove(waiting->sweepTimer);
    delete waiting;
}

} // namespace

void RequestHeadGuard::install(GUPnPContext *context)
{
    SoupServer *server = gupnp_context_get_server(context);
    auto *waiting = new WaitingHeads;
    g_object_set_data_full(G_OBJECT(server), waitingKey, waiting, freeWaitingHeads);
    g_signal_connect(server, "request-started", G_CALLBACK(watchHead), waiting);
    g_signal_connect(server, "request-finished", G_CALLBACK(watchNextHead), waiting);
}
