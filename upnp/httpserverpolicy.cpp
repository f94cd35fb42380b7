#include "upnp/httpserverpolicy.h"

#include "upnp/connectiontable.h"
#include "upnp/eventpublisher.h"
#include "upnp/httplimits.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <cstring>
#include <unordered_map>

namespace
{

const char policyKey[] = "tmserverd-http-policy";
const char receivedKey[] = "tmserverd-body-received";
const char argumentsKey[] = "tmserverd-soap-arguments";

SoupServer *serverOf(GUPnPContext *context)
{
    return gupnp_context_get_server(context);
}

bool bodyTooLarge(SoupMessageHeaders *headers)
{
    return soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH
        && soup_message_headers_get_content_length(headers) > HttpLimits::maxRequestBody;
}

// A body that still comes passes through without being kept.
void refuseBody(SoupServerMessage *message)
{
    soup_message_body_set_accumulate(soup_server_message_get_request_body(message), FALSE);
    soup_server_message_set_status(message, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, nullptr);
}

// A chunked body announces no size: it is counted as it comes, and what was kept of it is let go
// once it passes the limit.
void countChunk(SoupServerMessage *message, GBytes *chunk, gpointer connections)
{
    const gsize received
        = GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(message), receivedKey)) + g_bytes_get_size(chunk);
    g_object_set_data(G_OBJECT(message), receivedKey, GSIZE_TO_POINTER(received));
    if (received > gsize(HttpLimits::maxDrainedBody)) {
        static_cast<ConnectionTable *>(connections)->close(message);
    } else if (received > gsize(HttpLimits::maxRequestBody)
        && soup_server_message_get_status(message) != SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE) {
        refuseBody(message);
        soup_message_body_truncate(soup_server_message_get_request_body(message));
    }
}

void dropUnsafeLanguages(SoupMessageHeaders *headers)
{
    const char *acceptLanguage = soup_message_headers_get_list(headers, "Accept-Language");
    std::string kept;
    if (!acceptLanguage || !RequestScreen::dropUnsafeLanguages(acceptLanguage, kept))
        return;
    if (kept.empty())
        soup_message_headers_remove(headers, "Accept-Language");
    else
        soup_message_headers_replace(headers, "Accept-Language", kept.c_str());
}

bool hasMethod(SoupServerMessage *message, const char *method)
{
    return std::strcmp(soup_server_message_get_method(message), method) == 0;
}

} // namespace

struct HttpServerPolicy::Private {
    Private(GUPnPContext *context);

    static void onRequestStarted(SoupServer *, SoupServerMessage *message, gpointer self);
    static void onGotHeaders(SoupServerMessage *message, gpointer self);
    static void onRequestFinished(SoupServer *, SoupServerMessage *message, gpointer self);
    static void onRequestAborted(SoupServer *, SoupServerMessage *message, gpointer self);
    void requestEnded(SoupServerMessage *message, bool written);
    static void onRequestRead(SoupServer *, SoupServerMessage *message, gpointer);
    void screen(SoupServerMessage *message);
    bool hostIsOurs(SoupMessageHeaders *headers) const;
    unsigned eventHeadersStatus(RequestScreen::Kind kind, SoupMessageHeaders *headers) const;
    void holdForValues(SoupServerMessage *message, const char *path);
    void resume(SoupServerMessage *message);
    void hangUp(SoupServerMessage *message);

    struct Held {
        std::unique_ptr<ValueFetch> fetch;
        bool paused = true;
    };

    // The policy lives on the context's server, so the context outlives it.
    GUPnPContext *const context;
    ConnectionTable connections;
    EventPublisher events;
    ValueFetcher fetcher;
    // Until the request ends, so that a fetch can keep what the request's handlers need.
    std::unordered_map<SoupServerMessage *, Held> held;
};

HttpServerPolicy::Private::Private(GUPnPContext *context)
    : context(context)
    , connections(context)
{
}

void HttpServerPolicy::Private::onRequestStarted(SoupServer *, SoupServerMessage *message, gpointer self)
{
    auto *d = static_cast<Private *>(self);
    g_signal_connect(message, "got-headers", G_CALLBACK(onGotHeaders), d);
}

void HttpServerPolicy::Private::onGotHeaders(SoupServerMessage *message, gpointer self)
{
    static_cast<Private *>(self)->screen(message);
}

void HttpServerPolicy::Private::onRequestFinished(SoupServer *, SoupServerMessage *message, gpointer self)
{
    static_cast<Private *>(self)->requestEnded(message, true);
}

void HttpServerPolicy::Private::onRequestAborted(SoupServer *, SoupServerMessage *message, gpointer self)
{
    static_cast<Private *>(self)->requestEnded(message, false);
}

void HttpServerPolicy::Private::requestEnded(SoupServerMessage *message, bool written)
{
    held.erase(message);
    events.requestEnded(message, written);
}

// Repeated headers are read joined, so that a second CALLBACK or NT is refused rather than ignored.
unsigned HttpServerPolicy::Private::eventHeadersStatus(RequestScreen::Kind kind, SoupMessageHeaders *headers) const
{
    using Kind = RequestScreen::Kind;
    if (kind != Kind::Subscribe && kind != Kind::Renewal && kind != Kind::Unsubscribe)
        return 0;
    GSSDPClient *client = GSSDP_CLIENT(context);
    g_autoptr(GInetAddressMask) mask = gssdp_client_get_address_mask(client);
    g_autofree char *network = mask ? g_inet_address_to_string(g_inet_address_mask_get_address(mask)) : nullptr;
    const RequestScreen::Subnet link {
        network ? network : gssdp_client_get_host_ip(client), mask ? g_inet_address_mask_get_length(mask) : 32};
    return RequestScreen::subscriptionStatus(kind,
        {soup_message_headers_get_list(headers, "SID"), soup_message_headers_get_list(headers, "NT"),
            soup_message_headers_get_list(headers, "Callback")},
        link);
}

// The server calls no handler for a request that has its status by now. The names found are kept
// with the request, for the handler that reads the arguments.
void HttpServerPolicy::Private::onRequestRead(SoupServer *, SoupServerMessage *message, gpointer)
{
    if (soup_server_message_get_status(message) != 0 || !hasMethod(message, "POST"))
        return;
    const std::optional<std::string> action = RequestScreen::soapActionName(
        soup_message_headers_get_one(soup_server_message_get_request_headers(message), "SOAPAction"));
    if (!action)
        return;
    g_autoptr(GBytes) body = soup_message_body_flatten(soup_server_message_get_request_body(message));
    gsize length = 0;
    const auto *data = static_cast<const char *>(g_bytes_get_data(body, &length));
    std::optional<std::vector<std::string>> names = RequestScreen::soapArgumentNames(data, length, action->c_str());
    if (!names) {
        soup_server_message_set_status(message, SOUP_STATUS_BAD_REQUEST, nullptr);
        return;
    }
    g_object_set_data_full(G_OBJECT(message), argumentsKey, new std::vector<std::string>(std::move(*names)),
        [](gpointer names) { delete static_cast<std::vector<std::string> *>(names); });
}

bool HttpServerPolicy::Private::hostIsOurs(SoupMessageHeaders *headers) const
{
    return RequestScreen::sameHostAndPort(soup_message_headers_get_one(headers, "Host"),
        gssdp_client_get_host_ip(GSSDP_CLIENT(context)), gupnp_context_get_port(context));
}

void HttpServerPolicy::Private::screen(SoupServerMessage *message)
{
    connections.headArrived(message);
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(message);
    if (bodyTooLarge(headers)) {
        // A client that does not wait for "100 Continue" still gets its body drained before the answer.
        refuseBody(message);
        return;
    }
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CHUNKED)
        g_signal_connect(message, "got-chunk", G_CALLBACK(countChunk), &connections);
    if (!hostIsOurs(headers)) {
        soup_server_message_set_status(message, SOUP_STATUS_PRECONDITION_FAILED, nullptr);
        return;
    }
    const char *path = g_uri_get_path(soup_server_message_get_uri(message));
    if (const unsigned status = RequestScreen::pathStatus(path)) {
        soup_server_message_set_status(message, status, nullptr);
        return;
    }
    dropUnsafeLanguages(headers);
    const RequestScreen::Kind kind = RequestScreen::classify(soup_server_message_get_method(message),
        soup_message_headers_get_one(headers, "SOAPAction"), soup_message_headers_get_one(headers, "SID"));
    if (const unsigned status = eventHeadersStatus(kind, headers)) {
        soup_server_message_set_status(message, status, nullptr);
        return;
    }
    if ((kind == RequestScreen::Kind::Subscribe || kind == RequestScreen::Kind::Renewal
            || kind == RequestScreen::Kind::Unsubscribe)
        && events.answer(message, kind, path))
        return;
    if (kind == RequestScreen::Kind::Query)
        holdForValues(message, path);
}

// GUPnP asks for a value in a synchronous signal, while it handles the request: the back-end's
// answer has to be there before GUPnP sees the request, which therefore waits at its headers.
void HttpServerPolicy::Private::holdForValues(SoupServerMessage *message, const char *path)
{
    if (!fetcher)
        return;
    std::unique_ptr<ValueFetch> fetch = fetcher(path, [this, message] { resume(message); });
    if (!fetch)
        return;
    held[message] = Held {std::move(fetch)};
    soup_server_message_pause(message);
    connections.hold(message, [this, message] { hangUp(message); });
}

void HttpServerPolicy::Private::resume(SoupServerMessage *message)
{
    const auto request = held.find(message);
    if (request == held.end() || !request->second.paused)
        return;
    request->second.paused = false;
    connections.release(message);
    soup_server_message_unpause(message);
}

// No answer is awaited any more, and GUPnP must not act on the request.
void HttpServerPolicy::Private::hangUp(SoupServerMessage *message)
{
    const auto request = held.find(message);
    if (request == held.end())
        return;
    request->second.fetch->abandon();
    soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
    resume(message);
}

HttpServerPolicy::HttpServerPolicy(GUPnPContext *context)
    : d(std::make_unique<Private>(context))
{
    SoupServer *server = serverOf(context);
    g_signal_connect(server, "request-started", G_CALLBACK(Private::onRequestStarted), d.get());
    g_signal_connect(server, "request-finished", G_CALLBACK(Private::onRequestFinished), d.get());
    g_signal_connect(server, "request-aborted", G_CALLBACK(Private::onRequestAborted), d.get());
    g_signal_connect(server, "request-read", G_CALLBACK(Private::onRequestRead), nullptr);
}

HttpServerPolicy::~HttpServerPolicy() = default;

HttpServerPolicy *HttpServerPolicy::install(GUPnPContext *context)
{
    if (HttpServerPolicy *installed = of(context))
        return installed;
    auto *policy = new HttpServerPolicy(context);
    g_object_set_data_full(G_OBJECT(serverOf(context)), policyKey, policy,
        [](gpointer policy) { delete static_cast<HttpServerPolicy *>(policy); });
    return policy;
}

const std::vector<std::string> *HttpServerPolicy::soapArgumentNames(SoupServerMessage *request)
{
    return static_cast<const std::vector<std::string> *>(g_object_get_data(G_OBJECT(request), argumentsKey));
}

HttpServerPolicy *HttpServerPolicy::of(GUPnPContext *context)
{
    return static_cast<HttpServerPolicy *>(g_object_get_data(G_OBJECT(serverOf(context)), policyKey));
}

EventPublisher &HttpServerPolicy::events()
{
    return d->events;
}

void HttpServerPolicy::setValueFetcher(ValueFetcher fetcher)
{
    d->fetcher = std::move(fetcher);
    if (d->fetcher)
        return;
    for (auto &request : d->held) {
        if (!request.second.paused)
            continue;
        request.second.fetch->abandon();
        d->resume(request.first);
    }
}
