#include "upnp/outgoingrequests.h"

#include "upnp/httplimits.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace
{

void sendDirect(SoupSession *session)
{
    if (soup_session_get_proxy_resolver(session))
        soup_session_set_proxy_resolver(session, nullptr);
}

// A callback that accepts the connection and never answers would otherwise hold that service's
// events to every other subscriber for a minute, and let them pile up.
void boundNotify(SoupSession *session, SoupMessage *message)
{
    if (std::strcmp(soup_message_get_method(message), "NOTIFY") == 0
        && soup_session_get_timeout(session) != HttpLimits::notifyTimeoutSeconds)
        soup_session_set_timeout(session, HttpLimits::notifyTimeoutSeconds);
}

using OutgoingRequests::NotifyWatch;

std::vector<NotifyWatch *> &notifyWatches()
{
    static std::vector<NotifyWatch *> watches;
    return watches;
}

void onNotifyFinished(SoupMessage *notify)
{
    for (const NotifyWatch *watch : notifyWatches()) {
        if (watch->finished)
            watch->finished(notify);
    }
}

// Runs before the request gets a connection, which takes the session's settings when it opens.
gboolean onRequestQueued(GSignalInvocationHint *, guint, const GValue *parameters, gpointer)
{
    auto *session = SOUP_SESSION(g_value_get_object(&parameters[0]));
    auto *message = SOUP_MESSAGE(g_value_get_object(&parameters[1]));
    sendDirect(session);
    boundNotify(session, message);
    if (std::strcmp(soup_message_get_method(message), "NOTIFY") != 0)
        return TRUE;
    for (const NotifyWatch *watch : notifyWatches()) {
        if (watch->queued)
            watch->queued(session, message);
    }
    g_signal_connect(message, "finished", G_CALLBACK(onNotifyFinished), nullptr);
    return TRUE;
}

} // namespace

void OutgoingRequests::install()
{
    static bool installed = false;
    if (installed)
        return;
    // The default proxy resolver would load libproxy or a settings backend (with a bus connection
    // of its own) for a daemon that never uses a proxy: the choice is made before anything asks
    // for a resolver, and not left to the environment.
    g_setenv("GIO_USE_PROXY_RESOLVER", "dummy", TRUE);
    gpointer sessionClass = g_type_class_ref(SOUP_TYPE_SESSION);
    g_signal_add_emission_hook(
        g_signal_lookup("request-queued", SOUP_TYPE_SESSION), 0, onRequestQueued, nullptr, nullptr);
    g_type_class_unref(sessionClass);
    installed = true;
}

OutgoingRequests::NotifyWatch::NotifyWatch(
    std::function<void(SoupSession *, SoupMessage *)> queued, std::function<void(SoupMessage *)> finished)
    : queued(std::move(queued))
    , finished(std::move(finished))
{
    notifyWatches().push_back(this);
}

OutgoingRequests::NotifyWatch::~NotifyWatch()
{
    std::vector<NotifyWatch *> &watches = notifyWatches();
    watches.erase(std::find(watches.begin(), watches.end(), this));
}
