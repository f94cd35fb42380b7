#pragma once

#include "vehiraservercontract.h"

#include <QByteArray>
#include <libgupnp/gupnp.h>

#include <memory>

class TmService;
class QueryRelayPrivate;

// Answers the three evented state variables without waiting inside GUPnP, and publishes their
// changes. GUPnP asks for a value in its synchronous "query-variable" signal while it handles a
// QueryStateVariable request, so the back-end's answer has to be there before GUPnP sees the
// request: the HTTP server's policy holds such a request at its headers, the service's evented
// variables are asked asynchronously, and the request goes on once every answer is in (or the
// client's call timeout ended the call). GUPnP then reads the body and takes the values from the
// service's store. GUPnP 1.6 reads a QueryStateVariable body only after the hold, so the variable it
// names is not known yet: every evented variable of that service is asked. A new subscriber's
// initial event asks the same of the back-end, for the server's event publisher.
class QueryRelay
{
public:
    // Holds the queries, and publishes the events, of the bridge's services for as long as the
    // relay lives.
    explicit QueryRelay(TmService *bridge);
    // Requests still held go on at once, with the empty value for every answer still missing; the
    // services' subscriptions end.
    ~QueryRelay();
    QueryRelay(const QueryRelay &) = delete;
    QueryRelay &operator=(const QueryRelay &) = delete;

    // A change the back-end signalled, to every subscriber of the service; it is newer than the
    // answer of any query still under way.
    void publishChange(VehiraServer::Service service, const char *variable, const QByteArray &value);

private:
    friend class QueryRelayPrivate;
    std::unique_ptr<QueryRelayPrivate> const d;
};
