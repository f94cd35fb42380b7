#pragma once

typedef struct _GUPnPContext GUPnPContext;

// Keeps the HTTP server accepting after it ran out of file descriptors.
//
// libsoup's listener stops watching its socket for good the first time an accept fails (EMFILE
// included), which would leave the device deaf until restarted. A connection that waits on the
// listening socket for longer than an alive listener ever lets it wait means the listener is
// gone: the socket is handed to the server again, at most a few times a second while accepts
// keep failing, so running out of descriptors never spins and ends as soon as connections close.
namespace AcceptGuard
{

void install(GUPnPContext *context);

} // namespace AcceptGuard
