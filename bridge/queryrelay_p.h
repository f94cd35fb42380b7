#pragma once

#include <QByteArray>
#include <libgupnp/gupnp.h>

class TmService;
class QueryRelayPrivate;

// Answers the three evented state variables without waiting inside GUPnP. GUPnP asks for a value
// in its synchronous "query-variable" signal, while it handles a new subscription (the initial
// event carries every evented variable) or a QueryStateVariable request, so the back-end's answer
// has to be there before GUPnP sees the request: the HTTP server's policy holds such a request at
// its headers, the service's evented variables are asked asynchronously, and the request goes on
// once every answer is in (or the client's call timeout ended the call). GUPnP then reads the body
// and takes the values from the service's store. GUPnP 1.6 reads a QueryStateVariable body only
// after the hold, so the variable it names is not known yet: every evented variable of that
// service is asked.
class QueryRelay
{
public:
    // Holds the queries of the bridge's services for as long as the relay lives.
    explicit QueryRelay(TmService *bridge);
    // Requests still held go on at once, with the empty value for every answer still missing.
    ~QueryRelay();

    // A change the back-end signalled: it is newer than the answer of any query still under way.
    static void recordChange(GUPnPServiceInfo *service, const char *variable, const QByteArray &value);

private:
    friend class QueryRelayPrivate;
    QueryRelayPrivate *d;
};
