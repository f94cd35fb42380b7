#pragma once

typedef struct _GUPnPContext GUPnPContext;

// Caps the event subscriptions that the device keeps: a new SUBSCRIBE past the cap of its service,
// or of the device, gets 503. GUPnP keeps its subscriptions out of sight, so they are followed
// from the answers it gives: the SID and TIMEOUT of a granted or renewed subscription, and the SID
// of a granted UNSUBSCRIBE. An expired subscription no longer counts.
namespace SubscriptionGuard
{

// A head unit subscribes once per service and renews; room is left for the subscriptions it
// leaves behind when it restarts without unsubscribing, until they expire.
constexpr unsigned maxPerService = 32;
// Every change of state is sent to every subscriber: this bounds that fan-out.
constexpr unsigned maxTotal = 48;

void install(GUPnPContext *context);

} // namespace SubscriptionGuard
