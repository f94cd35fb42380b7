#include "upnp/eventpublisher.h"

#include "upnp/httplimits.h"
#include "upnp/valuefetch.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <deque>
#include <map>
#include <unordered_map>

namespace
{

using Values = EventPublisher::Values;

struct PropertySet {
    Values values;
    size_t bytes = 0;

    void set(const std::string &variable, const std::string &value)
    {
        const auto known = std::find_if(
            values.begin(), values.end(), [&variable](const auto &change) { return change.first == variable; });
        if (known == values.end()) {
            values.emplace_back(variable, value);
        } else {
            bytes -= known->second.size();
            known->second = value;
        }
        bytes += value.size();
    }
};

// The latest value of each variable, in the order of their first change.
PropertySet merged(const std::deque<PropertySet> &sets)
{
    PropertySet latest;
    for (const PropertySet &set : sets) {
        for (const auto &change : set.values)
            latest.set(change.first, change.second);
    }
    return latest;
}

GBytes *propertySetBody(const PropertySet &set)
{
    std::string body = "<?xml version=\"1.0\"?>\n<e:propertyset xmlns:e=\"urn:schemas-upnp-org:event-1-0\">";
    for (const auto &change : set.values) {
        g_autofree char *value = g_markup_escape_text(change.second.data(), gssize(change.second.size()));
        body += "<e:property><" + change.first + '>' + value + "</" + change.first + "></e:property>";
    }
    body += "</e:propertyset>";
    return g_bytes_new(body.data(), body.size());
}

// SEQ 0 is the initial event's alone.
guint32 nextSeq(guint32 seq)
{
    return seq == G_MAXUINT32 ? 1 : seq + 1;
}

void setAnswer(SoupServerMessage *request, guint status, const std::string &sid)
{
    soup_server_message_set_status(request, status, nullptr);
    if (status != SOUP_STATUS_OK || sid.empty())
        return;
    SoupMessageHeaders *headers = soup_server_message_get_response_headers(request);
    soup_message_headers_replace(headers, "SID", sid.c_str());
    soup_message_headers_replace(
        headers, "Timeout", ("Second-" + std::to_string(HttpLimits::subscriptionSeconds)).c_str());
}

gint64 expiryFromNow()
{
    return g_get_monotonic_time() + gint64(HttpLimits::subscriptionSeconds) * G_USEC_PER_SEC;
}

const char *requestHeader(SoupServerMessage *request, const char *name)
{
    return soup_message_headers_get_one(soup_server_message_get_request_headers(request), name);
}

} // namespace

struct EventPublisher::Private {
    struct Attempt;
    struct Subscription {
        std::string sid;
        std::string eventPath;
        std::vector<std::string> callbacks;
        gint64 expiresAt = 0;
        guint32 seq = 0;
        // Its initial event waits for both.
        bool answered = false;
        bool fetching = true;
        std::unique_ptr<ValueFetch> initialFetch;
        std::deque<PropertySet> waiting;
        size_t waitingBytes = 0;
        Attempt *inFlight = nullptr;
        bool failing = false;
    };
    // One NOTIFY, tried on each callback in turn. It outlives its subscription while libsoup still
    // has it, orphaned: it then only frees itself.
    struct Attempt {
        Private *d;
        Subscription *subscription;
        PropertySet set;
        size_t callback = 0;
        bool delivered = false;
        SoupMessage *notify = nullptr;
        GCancellable *cancellable = nullptr;
        guint timer = 0;
    };

    Private();
    ~Private();

    void subscribe(SoupServerMessage *request, const std::string &eventPath);
    void renew(SoupServerMessage *request, const std::string &eventPath);
    void unsubscribe(SoupServerMessage *request, const std::string &eventPath);
    Subscription *find(const char *sid, const std::string &eventPath);
    bool makeRoom(const std::string &eventPath);
    bool evictFailing(const std::string *eventPath);
    void dropExpired();
    void drop(Subscription &subscription);
    void initialValuesIn(const std::string &sid, Values values);
    void enqueue(Subscription &subscription, PropertySet set);
    void pump(Subscription &subscription);
    void send(Attempt *attempt);
    static void onSent(GObject *session, GAsyncResult *result, gpointer attempt);
    static void onClosed(GObject *stream, GAsyncResult *result, gpointer attempt);
    static gboolean onTimeout(gpointer attempt);
    static void attemptEnded(Attempt *attempt);

    SoupSession *const session;
    std::map<std::string, InitialValues> services;
    // By SID; nodes keep their address, which attempts point at.
    std::map<std::string, Subscription> subscriptions;
    // New subscriptions whose answer is not written yet.
    std::unordered_map<SoupServerMessage *, std::string> unanswered;
};

// One connection per subscription in flight, whichever host it is on; no proxy, whatever the
// environment names.
EventPublisher::Private::Private()
    : session(soup_session_new_with_options("max-conns", HttpLimits::maxSubscriptions, "max-conns-per-host",
        HttpLimits::maxSubscriptions, "proxy-resolver", nullptr, nullptr))
{
}

EventPublisher::Private::~Private()
{
    while (!subscriptions.empty())
        drop(subscriptions.begin()->second);
    g_object_unref(session);
}

EventPublisher::Private::Subscription *EventPublisher::Private::find(const char *sid, const std::string &eventPath)
{
    dropExpired();
    const auto known = sid ? subscriptions.find(sid) : subscriptions.end();
    return known == subscriptions.end() || known->second.eventPath != eventPath ? nullptr : &known->second;
}

void EventPublisher::Private::subscribe(SoupServerMessage *request, const std::string &eventPath)
{
    if (!makeRoom(eventPath)) {
        setAnswer(request, SOUP_STATUS_SERVICE_UNAVAILABLE, {});
        return;
    }
    g_autofree char *uuid = g_uuid_string_random();
    const std::string sid = std::string("uuid:") + uuid;
    Subscription &subscription = subscriptions[sid];
    subscription.sid = sid;
    subscription.eventPath = eventPath;
    subscription.callbacks = RequestScreen::callbackUrls(requestHeader(request, "Callback"));
    subscription.expiresAt = expiryFromNow();
    unanswered[request] = sid;
    setAnswer(request, SOUP_STATUS_OK, sid);
    std::unique_ptr<ValueFetch> fetch
        = services[eventPath]([this, sid](Values values) { initialValuesIn(sid, std::move(values)); });
    if (const auto fetching = subscriptions.find(sid); fetching != subscriptions.end())
        fetching->second.initialFetch = std::move(fetch);
}

void EventPublisher::Private::renew(SoupServerMessage *request, const std::string &eventPath)
{
    Subscription *subscription = find(requestHeader(request, "SID"), eventPath);
    if (!subscription) {
        setAnswer(request, SOUP_STATUS_PRECONDITION_FAILED, {});
        return;
    }
    subscription->expiresAt = expiryFromNow();
    setAnswer(request, SOUP_STATUS_OK, subscription->sid);
}

void EventPublisher::Private::unsubscribe(SoupServerMessage *request, const std::string &eventPath)
{
    Subscription *subscription = find(requestHeader(request, "SID"), eventPath);
    if (subscription)
        drop(*subscription);
    setAnswer(request, subscription ? SOUP_STATUS_OK : SOUP_STATUS_PRECONDITION_FAILED, {});
}

bool EventPublisher::Private::makeRoom(const std::string &eventPath)
{
    dropExpired();
    const auto ofService = [&] {
        return size_t(std::count_if(subscriptions.begin(), subscriptions.end(),
            [&](const auto &subscription) { return subscription.second.eventPath == eventPath; }));
    };
    if (ofService() >= HttpLimits::maxSubscriptionsPerService && !evictFailing(&eventPath))
        return false;
    return subscriptions.size() < HttpLimits::maxSubscriptions || evictFailing(nullptr);
}

// Of the service, or of any service for a null path.
bool EventPublisher::Private::evictFailing(const std::string *eventPath)
{
    const auto failing = std::find_if(subscriptions.begin(), subscriptions.end(), [eventPath](const auto &entry) {
        return entry.second.failing && (!eventPath || entry.second.eventPath == *eventPath);
    });
    if (failing == subscriptions.end())
        return false;
    drop(failing->second);
    return true;
}

void EventPublisher::Private::dropExpired()
{
    const gint64 now = g_get_monotonic_time();
    for (auto subscription = subscriptions.begin(); subscription != subscriptions.end();) {
        Subscription &expiring = (subscription++)->second;
        if (expiring.expiresAt <= now)
            drop(expiring);
    }
}

void EventPublisher::Private::drop(Subscription &subscription)
{
    if (Attempt *attempt = subscription.inFlight) {
        attempt->d = nullptr;
        g_cancellable_cancel(attempt->cancellable);
    }
    const std::string sid = subscription.sid;
    for (auto request = unanswered.begin(); request != unanswered.end(); ++request) {
        if (request->second == sid) {
            unanswered.erase(request);
            break;
        }
    }
    subscriptions.erase(sid);
}

void EventPublisher::Private::initialValuesIn(const std::string &sid, Values values)
{
    const auto known = subscriptions.find(sid);
    if (known == subscriptions.end() || !known->second.fetching)
        return;
    Subscription &subscription = known->second;
    PropertySet initial;
    for (const auto &answer : values)
        initial.set(answer.first, answer.second);
    subscription.fetching = false;
    subscription.waitingBytes += initial.bytes;
    subscription.waiting.push_front(std::move(initial));
    pump(subscription);
}

void EventPublisher::Private::enqueue(Subscription &subscription, PropertySet set)
{
    subscription.waitingBytes += set.bytes;
    subscription.waiting.push_back(std::move(set));
    if (subscription.waiting.size() <= HttpLimits::maxWaitingEvents
        && subscription.waitingBytes <= HttpLimits::maxWaitingEventBytes)
        return;
    PropertySet latest = merged(subscription.waiting);
    subscription.waitingBytes = latest.bytes;
    subscription.waiting.clear();
    subscription.waiting.push_back(std::move(latest));
}

void EventPublisher::Private::pump(Subscription &subscription)
{
    if (!subscription.answered || subscription.fetching || subscription.inFlight || subscription.waiting.empty())
        return;
    auto *attempt = new Attempt {this, &subscription, std::move(subscription.waiting.front())};
    subscription.waiting.pop_front();
    subscription.waitingBytes -= attempt->set.bytes;
    subscription.inFlight = attempt;
    send(attempt);
}

void EventPublisher::Private::send(Attempt *attempt)
{
    const Subscription &subscription = *attempt->subscription;
    // Screening let through only callbacks libsoup can send to.
    attempt->notify = soup_message_new("NOTIFY", subscription.callbacks[attempt->callback].c_str());
    attempt->cancellable = g_cancellable_new();
    // A callback's redirect would send the event wherever the head unit says.
    soup_message_add_flags(attempt->notify, SOUP_MESSAGE_NO_REDIRECT);
    SoupMessageHeaders *headers = soup_message_get_request_headers(attempt->notify);
    soup_message_headers_replace(headers, "NT", "upnp:event");
    soup_message_headers_replace(headers, "NTS", "upnp:propchange");
    soup_message_headers_replace(headers, "SID", subscription.sid.c_str());
    soup_message_headers_replace(headers, "SEQ", std::to_string(subscription.seq).c_str());
    g_autoptr(GBytes) body = propertySetBody(attempt->set);
    soup_message_set_request_body_from_bytes(attempt->notify, "text/xml; charset=\"utf-8\"", body);
    attempt->timer = g_timeout_add_seconds(HttpLimits::notifyTimeoutSeconds, onTimeout, attempt);
    soup_session_send_async(session, attempt->notify, G_PRIORITY_DEFAULT, attempt->cancellable, onSent, attempt);
}

// Only the status counts: the body, if any, is read and dropped as the stream closes.
void EventPublisher::Private::onSent(GObject *session, GAsyncResult *result, gpointer attemptPointer)
{
    auto *attempt = static_cast<Attempt *>(attemptPointer);
    g_autoptr(GInputStream) stream = soup_session_send_finish(SOUP_SESSION(session), result, nullptr);
    attempt->delivered = stream && SOUP_STATUS_IS_SUCCESSFUL(soup_message_get_status(attempt->notify));
    if (stream)
        g_input_stream_close_async(stream, G_PRIORITY_DEFAULT, attempt->cancellable, onClosed, attempt);
    else
        attemptEnded(attempt);
}

void EventPublisher::Private::onClosed(GObject *stream, GAsyncResult *result, gpointer attempt)
{
    g_input_stream_close_finish(G_INPUT_STREAM(stream), result, nullptr);
    attemptEnded(static_cast<Attempt *>(attempt));
}

gboolean EventPublisher::Private::onTimeout(gpointer attemptPointer)
{
    auto *attempt = static_cast<Attempt *>(attemptPointer);
    attempt->timer = 0;
    g_cancellable_cancel(attempt->cancellable);
    return G_SOURCE_REMOVE;
}

// A NOTIFY that no callback took leaves the subscription failing; its SEQ is spent all the same.
void EventPublisher::Private::attemptEnded(Attempt *attempt)
{
    if (attempt->timer)
        g_source_remove(attempt->timer);
    attempt->timer = 0;
    g_clear_object(&attempt->notify);
    g_clear_object(&attempt->cancellable);
    Subscription *subscription = attempt->d ? attempt->subscription : nullptr;
    if (subscription && !attempt->delivered && ++attempt->callback < subscription->callbacks.size()) {
        attempt->d->send(attempt);
        return;
    }
    if (subscription) {
        subscription->failing = !attempt->delivered;
        subscription->seq = nextSeq(subscription->seq);
        subscription->inFlight = nullptr;
        attempt->d->pump(*subscription);
    }
    delete attempt;
}

EventPublisher::EventPublisher()
    : d(std::make_unique<Private>())
{
}

EventPublisher::~EventPublisher() = default;

void EventPublisher::addService(const std::string &eventPath, InitialValues initialValues)
{
    d->services[eventPath] = std::move(initialValues);
}

void EventPublisher::removeService(const std::string &eventPath)
{
    for (auto subscription = d->subscriptions.begin(); subscription != d->subscriptions.end();) {
        Private::Subscription &ending = (subscription++)->second;
        if (ending.eventPath == eventPath)
            d->drop(ending);
    }
    d->services.erase(eventPath);
}

void EventPublisher::notify(const std::string &eventPath, const char *variable, const std::string &value)
{
    d->dropExpired();
    for (auto &entry : d->subscriptions) {
        Private::Subscription &subscription = entry.second;
        if (subscription.eventPath != eventPath)
            continue;
        PropertySet change;
        change.set(variable, value);
        d->enqueue(subscription, std::move(change));
        d->pump(subscription);
    }
}

bool EventPublisher::answer(SoupServerMessage *request, RequestScreen::Kind kind, const char *path)
{
    if (!path || !d->services.count(path))
        return false;
    if (kind == RequestScreen::Kind::Subscribe)
        d->subscribe(request, path);
    else if (kind == RequestScreen::Kind::Renewal)
        d->renew(request, path);
    else
        d->unsubscribe(request, path);
    return true;
}

// A head unit that never got its SID cannot renew or end the subscription: it goes at once.
void EventPublisher::requestEnded(SoupServerMessage *request, bool written)
{
    const auto pending = d->unanswered.find(request);
    if (pending == d->unanswered.end())
        return;
    const std::string sid = std::move(pending->second);
    d->unanswered.erase(pending);
    const auto subscription = d->subscriptions.find(sid);
    if (subscription == d->subscriptions.end())
        return;
    if (!written) {
        d->drop(subscription->second);
        return;
    }
    subscription->second.answered = true;
    d->pump(subscription->second);
}
