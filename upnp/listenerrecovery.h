#pragma once

#include <memory>

typedef struct _SoupServer SoupServer;

// Keeps the HTTP server's listening sockets accepting.
//
// - They listen with GLib's default backlog of 10; a head unit opening more connections at once
//   would see the rest stall until it retries: the backlog is widened.
// - libsoup's listener stops watching its socket for good the first time an accept fails (EMFILE
//   included), which would leave the device deaf until restarted. A connection that waits on the
//   listening socket for longer than an alive listener ever lets it wait means the listener is
//   gone: the socket is handed to the server again, at most every HttpLimits::acceptRetryMilliseconds
//   while accepts keep failing, so running out of descriptors never spins and ends as soon as
//   connections close.
class ListenerRecovery
{
public:
    explicit ListenerRecovery(SoupServer *server);
    ~ListenerRecovery();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
