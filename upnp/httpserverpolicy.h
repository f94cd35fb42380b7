#pragma once

#include "upnp/requestscreen.h"
#include "upnp/valuefetch.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _GUPnPContext GUPnPContext;
typedef struct _SoupServerMessage SoupServerMessage;
class EventPublisher;

// Everything the daemon decides about the requests to one HTTP server, before GUPnP sees them:
// one object per server, one handler per server signal, one pipeline per request. The limits it
// enforces are in HttpLimits.
//
// Each request is classified once, as its head arrives, and then screened in this order; the first
// screen that answers ends it:
//  1. the connection table learns that the head is complete (its deadline stops), and the answer
//     says that it closes the connection;
//  2. a body larger than HttpLimits::maxRequestBody: 413, and the body is never kept (a chunked one
//     is counted as it comes and its connection cut past HttpLimits::maxDrainedBody);
//  3. a Host that is not the server's own address and port: 412;
//  4. a path that names no served file: 414 or 404 (RequestScreen::pathStatus);
//  5. Accept-Language tokens that could name another directory are dropped;
//  6. event headers that no subscription may have: 400 or 412 (RequestScreen::subscriptionStatus);
//  7. SUBSCRIBE, renewal and UNSUBSCRIBE are answered by the EventPublisher; GUPnP never sees them;
//  8. a QueryStateVariable is held until the values GUPnP will read are known.
// Once its body is in, a control request whose body GUPnP would parse and then refuse is refused
// before it sees it: 400 (RequestScreen::soapArgumentNames).
// The cheap refusals come first, so that nothing is counted or fetched for a request that is refused.
class HttpServerPolicy
{
public:
    // Starts fetching the values a QueryStateVariable at this control path needs and calls ready()
    // once they are in, never from within the call; returns null when there is nothing to wait for.
    using ValueFetcher
        = std::function<std::unique_ptr<ValueFetch>(const char *controlPath, std::function<void()> ready)>;

    // Installs the policy on the context's server once; it lives as long as the server.
    static HttpServerPolicy *install(GUPnPContext *context);
    // Null when none was installed.
    static HttpServerPolicy *of(GUPnPContext *context);
    // The names of the arguments a control request's body holds, as its screening found them; null
    // for a request no policy screened.
    static const std::vector<std::string> *soapArgumentNames(SoupServerMessage *request);
    ~HttpServerPolicy();

    // The server's event subscriptions and NOTIFYs.
    EventPublisher &events();

    // An empty fetcher stops the holding: requests still held go on at once, their fetches abandoned.
    void setValueFetcher(ValueFetcher fetcher);

private:
    explicit HttpServerPolicy(GUPnPContext *context);
    struct Private;
    std::unique_ptr<Private> const d;
};
