#pragma once

typedef struct _GUPnPContext GUPnPContext;
typedef struct _SoupServerMessage SoupServerMessage;

// Gives back what libsoup 3.2 (Debian 12) keeps of every closed connection, over its public API.
//
// - Its listener never drops its reference on an accepted socket, so each connection leaves its
//   GSocket (about 340 bytes) behind: the extra reference is dropped when the connection's first
//   request starts. Only done on libsoup 3.2, whose listener was read and measured.
// - A kept-alive connection that the head unit hangs up while it waits for the next request is
//   read to its end by a request that never started; libsoup finishes that request with nobody
//   to tell and keeps the connection, its file descriptor and about 2 KB for the server's life
//   (later releases disconnect it). The connection can only be taken back from the server
//   through the last request it carried: that request is kept while the connection is idle, a
//   higher-priority watch on its socket sees the end before libsoup's own reader does, and the
//   connection is stolen from the server and closed.
namespace ConnectionReaper
{

void install(GUPnPContext *context);

// Takes the connection that carries the request away from the server and closes it; libsoup 3.2
// keeps a connection that it read to its end while no request had started on it.
void closeConnection(SoupServerMessage *request);

} // namespace ConnectionReaper
