#pragma once

typedef struct _SoupSession SoupSession;
typedef struct _SoupMessage SoupMessage;

// How the daemon's own requests leave: the NOTIFYs that GUPnP sends to subscribers, from sessions of
// its own (one per service) that are made when the first event leaves and are out of reach of its
// API. Events go straight to the head unit on the link, never through a proxy configured for the
// handset's other networks, and a NOTIFY has HttpLimits::notifyTimeoutSeconds to be answered.
namespace OutgoingRequests
{

// Once per process, before the first context opens.
void install();

// Called with every NOTIFY as GUPnP queues it on its session, before it is sent.
using NotifyWatcher = void (*)(SoupSession *session, SoupMessage *notify);
void watchNotifies(NotifyWatcher watcher);

} // namespace OutgoingRequests
