#include "upnp/subscriptiontable.h"

#include "upnp/httplimits.h"
#include "upnp/outgoingrequests.h"

#include <libsoup/soup.h>

#include <cstring>
#include <map>
#include <string>
#include <unordered_map>

struct SubscriptionTable::Private {
    struct Subscription {
        std::string eventPath;
        gint64 expiresAt = 0;
        bool initialEventDelivered = false;
    };
    void dropExpired();
    void onNotifyFinished(SoupMessage *notify);

    std::map<std::string, Subscription> bySid;
    // New subscriptions let through and not answered yet: while one waits for its first event's
    // values, others are handled.
    std::unordered_map<SoupServerMessage *, std::string> granting;
    OutgoingRequests::NotifyWatch notifies {{}, [this](SoupMessage *notify) { onNotifyFinished(notify); }};
};

namespace
{

gint64 expiryOf(const char *timeout)
{
    const char prefix[] = "Second-";
    if (!timeout || g_ascii_strncasecmp(timeout, prefix, sizeof prefix - 1) != 0)
        return G_MAXINT64;
    return g_get_monotonic_time() + g_ascii_strtoll(timeout + sizeof prefix - 1, nullptr, 10) * G_USEC_PER_SEC;
}

} // namespace

void SubscriptionTable::Private::dropExpired()
{
    const gint64 now = g_get_monotonic_time();
    for (auto subscription = bySid.begin(); subscription != bySid.end();) {
        if (subscription->second.expiresAt <= now)
            subscription = bySid.erase(subscription);
        else
            ++subscription;
    }
}

// GUPnP sends a subscription's initial event (SEQ 0) right after granting it.
void SubscriptionTable::Private::onNotifyFinished(SoupMessage *notify)
{
    SoupMessageHeaders *headers = soup_message_get_request_headers(notify);
    const char *seq = soup_message_headers_get_one(headers, "SEQ");
    const char *sid = soup_message_headers_get_one(headers, "SID");
    if (!seq || std::strcmp(seq, "0") != 0 || !sid || !SOUP_STATUS_IS_SUCCESSFUL(soup_message_get_status(notify)))
        return;
    const auto subscription = bySid.find(sid);
    if (subscription != bySid.end())
        subscription->second.initialEventDelivered = true;
}

SubscriptionTable::SubscriptionTable()
    : d(std::make_unique<Private>())
{
}

SubscriptionTable::~SubscriptionTable() = default;

bool SubscriptionTable::admit(SoupServerMessage *subscribe, const char *eventPath)
{
    d->dropExpired();
    unsigned ofService = 0;
    for (const auto &pending : d->granting)
        ofService += pending.second == eventPath;
    for (const auto &subscription : d->bySid)
        ofService += subscription.second.eventPath == eventPath;
    if (ofService >= HttpLimits::maxSubscriptionsPerService
        || d->bySid.size() + d->granting.size() >= HttpLimits::maxSubscriptions)
        return false;
    d->granting.emplace(subscribe, eventPath);
    return true;
}

// Also when the head unit left before the answer reached it: GUPnP keeps the subscription anyway.
void SubscriptionTable::answered(SoupServerMessage *request, bool unsubscribe)
{
    const auto pending = d->granting.find(request);
    std::string eventPath;
    if (pending != d->granting.end()) {
        eventPath = std::move(pending->second);
        d->granting.erase(pending);
    }
    if (soup_server_message_get_status(request) != SOUP_STATUS_OK)
        return;
    // GUPnP lets go of a subscription at its UNSUBSCRIBE only once its initial event was delivered;
    // else it keeps it until it expires.
    if (unsubscribe) {
        const char *sid = soup_message_headers_get_one(soup_server_message_get_request_headers(request), "SID");
        const auto subscription = sid ? d->bySid.find(sid) : d->bySid.end();
        if (subscription != d->bySid.end() && subscription->second.initialEventDelivered)
            d->bySid.erase(subscription);
        return;
    }
    SoupMessageHeaders *answer = soup_server_message_get_response_headers(request);
    const char *sid = soup_message_headers_get_one(answer, "SID");
    if (!sid)
        return;
    if (eventPath.empty())
        eventPath = g_uri_get_path(soup_server_message_get_uri(request));
    // A renewal keeps what is known of the subscription's initial event.
    Private::Subscription &subscription = d->bySid[sid];
    subscription.eventPath = std::move(eventPath);
    subscription.expiresAt = expiryOf(soup_message_headers_get_one(answer, "Timeout"));
}
