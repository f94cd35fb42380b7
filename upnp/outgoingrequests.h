#pragma once

#include <functional>

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

// Told of every NOTIFY GUPnP sends, for as long as it lives: as it is queued on its session, before
// it is sent, and once libsoup is done with it (answered, failed or cancelled). Either may be empty.
class NotifyWatch
{
public:
    NotifyWatch(std::function<void(SoupSession *session, SoupMessage *notify)> queued,
        std::function<void(SoupMessage *notify)> finished);
    ~NotifyWatch();
    NotifyWatch(const NotifyWatch &) = delete;
    NotifyWatch &operator=(const NotifyWatch &) = delete;

    const std::function<void(SoupSession *, SoupMessage *)> queued;
    const std::function<void(SoupMessage *)> finished;
};

} // namespace OutgoingRequests
