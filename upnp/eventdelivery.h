#pragma once

// Bounds how long an event waits for a subscriber's callback: GUPnP sends NOTIFY requests from
// sessions of its own (one per service) with libsoup's default I/O timeout of a minute, so a
// callback that accepts the connection and never answers would hold that service's events to
// every other subscriber on the same connection slot, and let them pile up meanwhile.
namespace EventDelivery
{

// A head unit on the link answers a NOTIFY within milliseconds.
constexpr unsigned notifyTimeoutSeconds = 5;

// Once per process: applies to every session that sends a NOTIFY.
void install();

} // namespace EventDelivery
