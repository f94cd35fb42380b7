#pragma once

// How events leave for the head unit. GUPnP sends NOTIFY requests from sessions of its own (one per
// service), made when the first event leaves and out of reach of its API; every session of the
// process is therefore adjusted as it queues a request, before it connects anywhere.
namespace EventDelivery
{

// A head unit on the link answers a NOTIFY within milliseconds.
constexpr unsigned notifyTimeoutSeconds = 5;

// Once per process, before the first context: every session goes direct, and NOTIFYs are bounded.
void install();

} // namespace EventDelivery
