#include "upnp/eventdelivery.h"

#include <libsoup/soup.h>

#include <cstring>

namespace
{

// Events go straight to the head unit on the link; a proxy configured for the handset's other
// networks must never carry them.
void sendDirect(SoupSession *session)
{
    if (soup_session_get_proxy_resolver(session))
        soup_session_set_proxy_resolver(session, nullptr);
}

// libsoup's default I/O timeout is a minute: a callback that accepts the connection and never
// answers would hold that service's events to every other subscriber, and let them pile up.
void boundNotify(SoupSession *session, SoupMessage *message)
{
    if (std::strcmp(soup_message_get_method(message), "NOTIFY") == 0
        && soup_session_get_timeout(session) != EventDelivery::notifyTimeoutSeconds)
        soup_session_set_timeout(session, EventDelivery::notifyTimeoutSeconds);
}

// Runs before the request gets a connection, which takes the session's settings when it opens.
gboolean onRequestQueued(GSignalInvocationHint *, guint, const GValue *parameters, gpointer)
{
    auto *session = SOUP_SESSION(g_value_get_object(&parameters[0]));
    sendDirect(session);
    boundNotify(session, SOUP_MESSAGE(g_value_get_object(&parameters[1])));
    return TRUE;
}

} // namespace

void EventDelivery::install()
{
    static bool installed = false;
    if (installed)
        return;
    gpointer sessionClass = g_type_class_ref(SOUP_TYPE_SESSION);
    g_signal_add_emission_hook(
        g_signal_lookup("request-queued", SOUP_TYPE_SESSION), 0, onRequestQueued, nullptr, nullptr);
    g_type_class_unref(sessionClass);
    installed = true;
}
