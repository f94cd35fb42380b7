#pragma once

#include <functional>
#include <memory>

typedef struct _SoupServerMessage SoupServerMessage;

// Every connection of one HTTP server and what it waits for, fed from the server's request
// signals: a connection waits for its request head, is busy with the request, or holds it while it
// waits for the back-end.
//
// - Each connection carries one request: its answer closes it. libsoup 3.2 keeps a kept-alive
//   connection whose client hangs up with a request that never started, its descriptor and about
//   2 KB for the server's life, and taking such a connection back from it races libsoup's own read
//   of that end (a lost race crashes in libsoup). A head unit on the link opens a connection in
//   well under a millisecond.
// - A waiting connection has HttpLimits::headDeadlineSeconds to send its head; past
//   HttpLimits::maxWaitingConnections waiting at once the oldest is closed. libsoup 3.2's server
//   has no read timeout of its own.
// - A hang-up of a held request is seen by a watch for a reset (POLLHUP, POLLERR): its client may
//   have shut down only its own side and still wait for the answer. The watch never wakes for a
//   request's bytes, so it adds no pass of the main loop to a request.
// - On a libsoup whose listener keeps every accepted socket (see ListenerLeak), that reference is
//   dropped when the connection's first request starts, while the listener is still accepting it.
class ConnectionTable
{
public:
    ConnectionTable();
    ~ConnectionTable();

    // The server's "request-started": a new connection.
    void requestStarted(SoupServerMessage *request);
    void headArrived(SoupServerMessage *request);
    // The server's "request-finished" and "request-aborted": libsoup closes the connection.
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
