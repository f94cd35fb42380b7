#pragma once

typedef struct _GUPnPContext GUPnPContext;

// Screens every request to the context's HTTP server before GUPnP handles it: oversized
// bodies get 413 and are never kept (nor read, when the client waits for 100 Continue; a
// chunked one is counted as it comes and cut off when it goes on far past the limit), a
// Host that is not the context's own address and port gets 412, a path that climbs out of
// its directory, that no file can have or that names anything in xml/ but the three published
// descriptions gets 404 (414 past the path length limit), and
// Accept-Language tokens that could leave the hosted directory are dropped.
namespace HttpGuard
{

constexpr long long maxRequestBody = 64 * 1024;

void install(GUPnPContext *context);

} // namespace HttpGuard
