#include "upnp/eventdelivery.h"

#include <libsoup/soup.h>

#include <cstring>

namespace
{

// Runs before the request gets a connection, which takes the session's timeout when it opens.
gboolean shortenNotifyTimeout(GSignalInvocationHint *, guint, const GValue *parameters, gpointer)
{
    auto *session = SOUP_SESSION(g_value_get_object(&parameters[0]));
    auto *message = SOUP_MESSAGE(g_value_get_object(&parameters[1]));
    if (std::strcmp(soup_message_get_method(message), "NOTIFY") == 0
        && soup_session_get_timeout(session) != EventDelivery::notifyTimeoutSeconds)
        soup_session_set_timeout(session, EventDelivery::notifyTimeoutSeconds);
    return TRUE;
}

} // namespace

void EventDelivery::install()
{
    static bool installed = false;
    if (installed)
        return;
    g_signal_add_emission_hook(
        g_signal_lookup("request-queued", SOUP_TYPE_SESSION), 0, shortenNotifyTimeout, nullptr, nullptr);
    installed = true;
}
