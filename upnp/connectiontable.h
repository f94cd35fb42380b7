#pragma once

#include <functional>
#include <memory>

typedef struct _SoupServerMessage SoupServerMessage;

// Every connection of one HTTP server and what it waits for, fed from the server's request
// signals: a connection waits for a request head (new, or kept alive after its last answer), is
// busy with a request, or holds one that waits for the back-end.
//
// - A waiting connection has HttpLimits::headDeadlineSeconds to send its head; past
//   HttpLimits::maxWaitingConnections waiting at once the oldest is closed. libsoup 3.2's server
//   has no read timeout of its own.
// - A hang-up is seen in one way: a watch for the peer's end of stream (POLLRDHUP) while the
//   connection is idle, or for a reset (POLLHUP, POLLERR) while it holds a request, whose client may
//   have shut down only its own side and still wait for the answer. It never wakes for a request's bytes,
//   so it adds no pass of the main loop to a request, and it runs above libsoup's priority, so it
//   sees the end of an idle connection before libsoup reads it. libsoup 3.2 reads that end with a
//   request that never started, finishes it with nobody to tell and keeps the connection, its
//   descriptor and about 2 KB for the server's life: the connection is taken back through the last
//   request it carried (kept while idle) and closed.
// - On a libsoup whose listener keeps every accepted socket (see ListenerLeak), that reference is
//   dropped when the connection's first request starts, while the listener is still accepting it.
class ConnectionTable
{
public:
    ConnectionTable();
    ~ConnectionTable();
    ConnectionTable(const ConnectionTable &) = delete;
    ConnectionTable &operator=(const ConnectionTable &) = delete;

    // The server's "request-started": a new connection, or the first bytes of the next request on a
    // kept-alive one.
    void requestStarted(SoupServerMessage *request);
    void headArrived(SoupServerMessage *request);
    // The server's "request-finished" and "request-aborted".
    void requestEnded(SoupServerMessage *request);
    // While a request is held its client's hang-up calls onHangUp, once.
    void hold(SoupServerMessage *request, std::function<void()> onHangUp);
    void release(SoupServerMessage *request);

    // Takes the connection that carries the request away from the server and closes it.
    static void closeConnection(SoupServerMessage *request);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
