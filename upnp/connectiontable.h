#pragma once

#include <functional>
#include <memory>

typedef struct _GUPnPContext GUPnPContext;
typedef struct _SoupServerMessage SoupServerMessage;

// The HTTP server's listening socket and every connection accepted on it. The table takes the
// socket over from the context's server, accepts on the main loop and hands each connection to the
// server (soup_server_accept_iostream); it keeps its own reference to each accepted socket, so that
// a deadline acts on that socket and never takes a connection back from libsoup.
//
// - Each connection carries one request: its answer closes it (see headArrived).
// - A connection has HttpLimits::headDeadlineSeconds to send its head; past
//   HttpLimits::maxWaitingConnections waiting at once the oldest is closed. libsoup's server has no
//   read timeout of its own. Closing shuts the socket down, which libsoup reads as the client's end.
// - While no descriptor is left, accepting pauses (one warning) and is tried again every
//   HttpLimits::acceptRetryMilliseconds, so it never spins and resumes once one is free.
// - A hang-up of a held request is seen by a watch for a reset (POLLHUP, POLLERR): its client may
//   have shut down only its own side and still wait for the answer. The watch never wakes for a
//   request's bytes, so it adds no pass of the main loop to a request.
class ConnectionTable
{
public:
    explicit ConnectionTable(GUPnPContext *context);
    ~ConnectionTable();
    ConnectionTable(const ConnectionTable &) = delete;
    ConnectionTable &operator=(const ConnectionTable &) = delete;

    // The request's head is in: its deadline stops, and its answer says that it closes the connection.
    void headArrived(SoupServerMessage *request);
    // While a request is held its client's hang-up calls onHangUp, once.
    void hold(SoupServerMessage *request, std::function<void()> onHangUp);
    void release(SoupServerMessage *request);
    // Cuts the connection that carries the request.
    void close(SoupServerMessage *request);

private:
    struct Private;
    std::unique_ptr<Private> const d;
};
