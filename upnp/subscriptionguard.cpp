#include "upnp/subscriptionguard.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <cstring>
#include <map>
#include <string>

namespace
{

const char subscriptionsKey[] = "tmserverd-subscriptions";

struct Subscription {
    std::string eventPath;
    gint64 expiresAt = 0;
};

// By SID.
using Subscriptions = std::map<std::string, Subscription>;

bool hasMethod(SoupServerMessage *message, const char *method)
{
    return std::strcmp(soup_server_message_get_method(message), method) == 0;
}

const char *eventPathOf(SoupServerMessage *message)
{
    return g_uri_get_path(soup_server_message_get_uri(message));
}

void dropExpired(Subscriptions *subscriptions)
{
    const gint64 now = g_get_monotonic_time();
    for (auto subscription = subscriptions->begin(); subscription != subscriptions->end();) {
        if (subscription->second.expiresAt <= now)
            subscription = subscriptions->erase(subscription);
        else
            ++subscription;
    }
}

bool capReached(Subscriptions *subscriptions, const char *eventPath)
{
    dropExpired(subscriptions);
    unsigned ofService = 0;
    for (const auto &subscription : *subscriptions)
        ofService += subscription.second.eventPath == eventPath;
    return ofService >= SubscriptionGuard::maxPerService || subscriptions->size() >= SubscriptionGuard::maxTotal;
}

// A renewal carries the SID it renews; only a new subscription can pass a cap.
void screenSubscribe(SoupServerMessage *message, gpointer subscriptions)
{
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(message);
    if (!hasMethod(message, "SUBSCRIBE") || soup_message_headers_get_one(headers, "SID"))
        return;
    if (capReached(static_cast<Subscriptions *>(subscriptions), eventPathOf(message)))
        soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
}

gint64 expiryOf(const char *timeout)
{
    const char prefix[] = "Second-";
    if (!timeout || g_ascii_strncasecmp(timeout, prefix, sizeof prefix - 1) != 0)
        return G_MAXINT64;
    return g_get_monotonic_time() + g_ascii_strtoll(timeout + sizeof prefix - 1, nullptr, 10) * G_USEC_PER_SEC;
}

// Also when the head unit left before the answer reached it: GUPnP keeps the subscription anyway.
void followAnswer(SoupServer *, SoupServerMessage *message, gpointer subscriptionsPointer)
{
    auto *subscriptions = static_cast<Subscriptions *>(subscriptionsPointer);
    if (soup_server_message_get_status(message) != SOUP_STATUS_OK)
        return;
    if (hasMethod(message, "SUBSCRIBE")) {
        SoupMessageHeaders *answer = soup_server_message_get_response_headers(message);
        if (const char *sid = soup_message_headers_get_one(answer, "SID"))
            (*subscriptions)[sid]
                = Subscription {eventPathOf(message), expiryOf(soup_message_headers_get_one(answer, "Timeout"))};
    } else if (hasMethod(message, "UNSUBSCRIBE")) {
        if (const char *sid = soup_message_headers_get_one(soup_server_message_get_request_headers(message), "SID"))
            subscriptions->erase(sid);
    }
}

void watchRequest(SoupServer *, SoupServerMessage *message, gpointer subscriptions)
{
    g_signal_connect(message, "got-headers", G_CALLBACK(screenSubscribe), subscriptions);
}

void freeSubscriptions(gpointer subscriptions)
{
    delete static_cast<Subscriptions *>(subscriptions);
}

} // namespace

void SubscriptionGuard::install(GUPnPContext *context)
{
    SoupServer *server = gupnp_context_get_server(context);
    auto *subscriptions = new Subscriptions;
    g_object_set_data_full(G_OBJECT(server), subscriptionsKey, subscriptions, freeSubscriptions);
    g_signal_connect(server, "request-started", G_CALLBACK(watchRequest), subscriptions);
    g_signal_connect(server, "request-finished", G_CALLBACK(followAnswer), subscriptions);
    g_signal_connect(server, "request-aborted", G_CALLBACK(followAnswer), subscriptions);
}
