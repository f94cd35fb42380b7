#pragma once

typedef struct _GUPnPContext GUPnPContext;

// Bounds the connections that have not sent a complete request head yet (a new connection, or a
// kept-alive one waiting for its next request): each has headDeadlineSeconds to send it, and past
// maxWaitingConnections the oldest of them is closed. Whatever opens connections on the link and
// sends nothing, or a byte now and then, can neither hold one for long nor use up the daemon's
// file descriptors; libsoup 3.2's server has no read timeout of its own.
namespace RequestHeadGuard
{

// A head unit on the link sends its request head within milliseconds of connecting.
constexpr int headDeadlineSeconds = 10;
// A head unit keeps a handful of connections, yet may fire a hundred actions at once on as many
// kept-alive ones, which then all wait for their next request; this stays far below the usual
// limit of 1024 descriptors.
constexpr unsigned maxWaitingConnections = 128;

void install(GUPnPContext *context);

} // namespace RequestHeadGuard
