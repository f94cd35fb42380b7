#include "upnp/eventqueue.h"

#include "upnp/httplimits.h"
#include "upnp/outgoingrequests.h"

#include <libgupnp/gupnp.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace
{

const gint64 stalledAfter = (HttpLimits::notifyTimeoutSeconds + 1) * G_USEC_PER_SEC;

} // namespace

struct EventQueue::Private {
    explicit Private(GUPnPService *service);
    ~Private();

    void flush();
    void scheduleFlush();
    // The microseconds until no NOTIFY in flight holds the queue up any more; 0 when none does.
    gint64 heldFor() const;
    static gboolean onFlushDue(gpointer self);
    void onNotifyQueued(SoupSession *notifySession, SoupMessage *notify);
    void onNotifyFinished(SoupMessage *notify);
    // The queue whose changes are being handed to GUPnP, which queues their NOTIFYs from within.
    static Private *flushing;

    GUPnPService *const service;
    // In order of their first change since the last NOTIFY.
    std::vector<std::pair<std::string, std::string>> waiting;
    // GUPnP sends a service's NOTIFYs on a session of its own, known once one was sent.
    SoupSession *session = nullptr;
    // With the time each was queued; libsoup tells when it is done with each.
    std::unordered_map<SoupMessage *, gint64> inFlight;
    guint flushTimer = 0;
    OutgoingRequests::NotifyWatch notifies {
        [this](SoupSession *notifySession, SoupMessage *notify) { onNotifyQueued(notifySession, notify); },
        [this](SoupMessage *notify) { onNotifyFinished(notify); }};
};

EventQueue::Private *EventQueue::Private::flushing = nullptr;

EventQueue::Private::Private(GUPnPService *service)
    : service(service)
{
}

EventQueue::Private::~Private()
{
    if (flushTimer)
        g_source_remove(flushTimer);
}

void EventQueue::Private::onNotifyQueued(SoupSession *notifySession, SoupMessage *notify)
{
    if (flushing == this && !session)
        session = notifySession;
    if (session == notifySession)
        inFlight.emplace(notify, g_get_monotonic_time());
}

// The flush is scheduled, not made from within libsoup's own emission.
void EventQueue::Private::onNotifyFinished(SoupMessage *notify)
{
    if (inFlight.erase(notify))
        scheduleFlush();
}

gint64 EventQueue::Private::heldFor() const
{
    const gint64 now = g_get_monotonic_time();
    gint64 longest = 0;
    for (const auto &notify : inFlight)
        longest = std::max(longest, notify.second + stalledAfter - now);
    return longest;
}

// Whenever what holds the queue up changes, so that the flush is never later than it has to be.
void EventQueue::Private::scheduleFlush()
{
    if (flushTimer)
        g_source_remove(std::exchange(flushTimer, 0));
    if (!waiting.empty())
        flushTimer = g_timeout_add(guint(heldFor() / 1000), onFlushDue, this);
}

gboolean EventQueue::Private::onFlushDue(gpointer self)
{
    auto *d = static_cast<Private *>(self);
    d->flushTimer = 0;
    if (d->heldFor() > 0)
        d->scheduleFlush();
    else
        d->flush();
    return G_SOURCE_REMOVE;
}

void EventQueue::Private::flush()
{
    flushing = this;
    gupnp_service_freeze_notify(service);
    for (const auto &change : std::exchange(waiting, {}))
        gupnp_service_notify(service, change.first.c_str(), G_TYPE_STRING, change.second.c_str(), nullptr);
    gupnp_service_thaw_notify(service);
    flushing = nullptr;
}

EventQueue::EventQueue(GUPnPService *service)
    : d(std::make_unique<Private>(service))
{
}

EventQueue::~EventQueue() = default;

void EventQueue::change(const char *variable, std::string value)
{
    const auto waiting = std::find_if(d->waiting.begin(), d->waiting.end(),
        [variable](const std::pair<std::string, std::string> &change) { return change.first == variable; });
    if (waiting != d->waiting.end())
        waiting->second = std::move(value);
    else
        d->waiting.emplace_back(variable, std::move(value));
    if (d->heldFor() > 0)
        d->scheduleFlush();
    else
        d->flush();
}
