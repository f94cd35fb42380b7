#include "upnp/subscriptionguard.h"

#include <libgupnp/gupnp.h>
#include <libsoup/soup.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

namespace
{

const char subscriptionsKey[] = "tmserverd-subscriptions";
const char grantingKey[] = "tmserverd-granting";

struct Subscription {
    std::string eventPath;
    gint64 expiresAt = 0;
};

struct Subscriptions {
    std::map<std::string, Subscription> bySid;
    // The event paths of new subscriptions let through and not answered yet: while one waits for
    // its first event's values, others are handled.
    std::multiset<std::string> granting;
};

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
    for (auto subscription = subscriptions->bySid.begin(); subscription != subscriptions->bySid.end();) {
        if (subscription->second.expiresAt <= now)
            subscription = subscriptions->bySid.erase(subscription);
        else
            ++subscription;
    }
}

bool capReached(Subscriptions *subscriptions, const char *eventPath)
{
    dropExpired(subscriptions);
    gsize ofService = subscriptions->granting.count(eventPath);
    for (const auto &subscription : subscriptions->bySid)
        ofService += subscription.second.eventPath == eventPath;
    return ofService >= SubscriptionGuard::maxPerService
        || subscriptions->bySid.size() + subscriptions->granting.size() >= SubscriptionGuard::maxTotal;
}

// A renewal carries the SID it renews; only a new subscription can pass a cap.
void screenSubscribe(SoupServerMessage *message, gpointer subscriptionsPointer)
{
    auto *subscriptions = static_cast<Subscriptions *>(subscriptionsPointer);
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(message);
    if (!hasMethod(message, "SUBSCRIBE") || soup_message_headers_get_one(headers, "SID"))
        return;
    if (capReached(subscriptions, eventPathOf(message))) {
        soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
        return;
    }
    subscriptions->granting.insert(eventPathOf(message));
    g_object_set_data(G_OBJECT(message), grantingKey, GINT_TO_POINTER(1));
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
    if (g_object_steal_data(G_OBJECT(message), grantingKey)) {
        const auto granted = subscriptions->granting.find(eventPathOf(message));
        if (granted != subscriptions->granting.end())
            subscriptions->granting.erase(granted);
    }
    if (soup_server_message_get_status(message) != SOUP_STATUS_OK)
        return;
    if (hasMethod(message, "SUBSCRIBE")) {
        SoupMessageHeaders *answer = soup_server_message_get_response_headers(message);
        if (const char *sid = soup_message_headers_get_one(answer, "SID"))
            subscriptions->bySid[sid]
                = Subscription {eventPathOf(message), expiryOf(soup_message_headers_get_one(answer, "Timeout"))};
    } else if (hasMethod(message, "UNSUBSCRIBE")) {
        if (const char *sid = soup_message_headers_get_one(soup_server_message_get_request_headers(message), "SID"))
            subscriptions->bySid.erase(sid);
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
