#pragma once

#include <cstddef>

// Every bound the daemon puts on what a head unit may cost it over HTTP, in one place. The README's
// table of limits states the same figures.
namespace HttpLimits
{

// A SOAP action of these services fits in a few KiB.
constexpr long long maxRequestBody = 64 * 1024;
// How much of a refused chunked body is read and dropped, so that the client can still see the
// 413, before its connection is cut.
constexpr long long maxDrainedBody = 16 * maxRequestBody;

// A head unit on the link sends its request head within milliseconds of connecting.
constexpr int headDeadlineSeconds = 10;
// A head unit may fire a hundred actions at once, each on a connection of its own; this stays far
// below the usual limit of 1024 descriptors.
constexpr unsigned maxWaitingConnections = 128;

// A head unit subscribes once per service and renews; room is left for the subscriptions it
// leaves behind when it restarts without unsubscribing, until they expire.
constexpr unsigned maxSubscriptionsPerService = 32;
// Every change of state is sent to every subscriber: this bounds that fan-out.
constexpr unsigned maxSubscriptions = 48;

// What a subscription is granted, and renewed for.
constexpr unsigned subscriptionSeconds = 300;

// A head unit names one callback, or a few for its interfaces; each is a short URL.
constexpr unsigned maxCallbacks = 4;
constexpr unsigned maxCallbackLength = 512;

// A head unit on the link answers a NOTIFY within milliseconds; libsoup's own default is a minute.
// A NOTIFY that no callback answered in time leaves its subscription failing.
constexpr unsigned notifyTimeoutSeconds = 5;
// How far one subscriber may fall behind before what waits for it merges into the latest values.
constexpr size_t maxWaitingEvents = 64;
constexpr size_t maxWaitingEventBytes = 256 * 1024;

// While accepts keep failing (no descriptor left), the listener is retried this often.
constexpr unsigned acceptRetryMilliseconds = 250;

} // namespace HttpLimits
