#pragma once

#include <memory>

typedef struct _SoupServerMessage SoupServerMessage;

// The event subscriptions of one published root device, followed from the answers GUPnP gives
// (it keeps its own out of sight): the SID and TIMEOUT of a granted or renewed subscription, the
// SID of a granted UNSUBSCRIBE, and whether a subscription's initial event was delivered, without
// which GUPnP keeps an unsubscribed one until it expires. A new subscription past the cap of its
// service, or of the device, is refused. An expired subscription no longer counts; the table goes
// with its device.
class SubscriptionTable
{
public:
    SubscriptionTable();
    ~SubscriptionTable();

    // A new SUBSCRIBE: false when a cap is reached; else it counts from now until it is answered.
    bool admit(SoupServerMessage *subscribe, const char *eventPath);
    // A SUBSCRIBE or UNSUBSCRIBE was answered, or abandoned.
    void answered(SoupServerMessage *request, bool unsubscribe);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
