#pragma once

#include "upnp/requestscreen.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

typedef struct _SoupServerMessage SoupServerMessage;
class ValueFetch;

// The event subscriptions of the services on one HTTP server, and the NOTIFYs that carry their
// changes, sent from a session of the daemon's own straight to the head unit (never through a
// proxy). Every subscription has a queue of its own, with one NOTIFY in flight at a time: a
// subscriber that is slow or gone delays nobody else. Each change becomes one property set for
// every subscriber, in the order signalled, repeats and empty values included; once a subscriber
// is more than HttpLimits::maxWaitingEvents or HttpLimits::maxWaitingEventBytes behind, what waits
// for it merges into one set of the latest values, so its SEQ stays unbroken and the last value
// always arrives. A new subscriber's initial event (SEQ 0) carries the values its service's fetch
// brings, and goes out once its SUBSCRIBE has been answered; changes notified meanwhile follow it. A subscription whose
// last NOTIFY failed on every callback is failing: a new SUBSCRIBE that finds a cap of HttpLimits reached evicts one,
// and is refused only when every counted subscription is live. An expired subscription no longer counts.
class EventPublisher
{
public:
    using Values = std::vector<std::pair<std::string, std::string>>;
    // Starts fetching the current value of every evented variable of one service, none older than a
    // change notified while the fetch was out, and calls ready() once, possibly from within the call;
    // destroying what it returns cancels the fetch.
    using InitialValues = std::function<std::unique_ptr<ValueFetch>(std::function<void(Values)> ready)>;

    EventPublisher();
    ~EventPublisher();
    EventPublisher(const EventPublisher &) = delete;
    EventPublisher &operator=(const EventPublisher &) = delete;

    // A service whose events are subscribed to at eventPath.
    void addService(const std::string &eventPath, InitialValues initialValues);
    // Its subscriptions end with it, and the NOTIFYs still in flight are cancelled.
    void removeService(const std::string &eventPath);
    void notify(const std::string &eventPath, const char *variable, const std::string &value);

    // A SUBSCRIBE, renewal or UNSUBSCRIBE whose headers passed RequestScreen::subscriptionStatus:
    // false when its path is no service's, else its answer is set on it.
    bool answer(SoupServerMessage *request, RequestScreen::Kind kind, const char *path);
    // The server is done with such a request: its answer was written, or the client was lost.
    void requestEnded(SoupServerMessage *request, bool written);

private:
    struct Private;
    std::unique_ptr<Private> const d;
};
