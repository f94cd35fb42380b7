#pragma once

#include <memory>
#include <string>

typedef struct _GUPnPService GUPnPService;

// The events of one service, sent as values rather than as messages. GUPnP sends every change to
// every subscriber at once and lets NOTIFYs pile up behind a callback that does not answer; here,
// while a NOTIFY of the service is in flight, changes wait, a later change of a variable replaces
// its waiting value, and what waits goes out in one NOTIFY per subscriber once none is in flight.
// A NOTIFY in flight for longer than HttpLimits::notifyTimeoutSeconds holds up nothing more: one
// stalled callback delays the others' events by that much at most, and gets one NOTIFY more in
// its queue each time.
class EventQueue
{
public:
    // The service must outlive the queue.
    explicit EventQueue(GUPnPService *service);
    ~EventQueue();

    void change(const char *variable, std::string value);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
