#include "upnp/listenerleak.h"

#include "platform/tmserver_debug.h"

#include <gio/gunixsocketaddress.h>
#include <libsoup/soup.h>
#include <unistd.h>

#include <string>

namespace
{

// Each step of the probe takes one or two passes of its own main context.
const int maxProbeIterations = 100;

struct Probe {
    GSocket *accepted = nullptr;
    bool finalized = false;
};

void onFinalized(gpointer probe, GObject *)
{
    static_cast<Probe *>(probe)->finalized = true;
}

void onRequestStarted(SoupServer *, SoupServerMessage *message, gpointer probePointer)
{
    auto *probe = static_cast<Probe *>(probePointer);
    if (probe->accepted)
        return;
    probe->accepted = soup_server_message_get_socket(message);
    if (probe->accepted)
        g_object_weak_ref(G_OBJECT(probe->accepted), onFinalized, probe);
}

template <typename Done>
void iterateUntil(GMainContext *context, Done done)
{
    for (int i = 0; i < maxProbeIterations && !done(); ++i)
        g_main_context_iteration(context, FALSE);
}

GSocket *listeningSocket(GSocketAddress *address)
{
    GSocket *socket = g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, nullptr);
    if (socket && g_socket_bind(socket, address, FALSE, nullptr) && g_socket_listen(socket, nullptr))
        return socket;
    g_clear_object(&socket);
    return nullptr;
}

// Accepts one connection that closes at once, then destroys the server and drains the context.
void runProbe(Probe &probe, GMainContext *context)
{
    const std::string name = "tmserverd-listener-probe-" + std::to_string(getpid());
    GSocketAddress *address = g_unix_socket_address_new_with_type(name.c_str(), -1, G_UNIX_SOCKET_ADDRESS_ABSTRACT);
    GSocket *listening = listeningSocket(address);
    SoupServer *server = SOUP_SERVER(g_object_new(SOUP_TYPE_SERVER, nullptr));
    GSocket *client = g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, nullptr);
    g_signal_connect(server, "request-started", G_CALLBACK(onRequestStarted), &probe);
    if (listening && client && soup_server_listen_socket(server, listening, SoupServerListenOptions(0), nullptr)
        && g_socket_connect(client, address, nullptr, nullptr)) {
        iterateUntil(context, [&] { return probe.accepted != nullptr; });
        g_socket_close(client, nullptr);
        iterateUntil(context, [&] { return probe.finalized || !g_main_context_pending(context); });
    }
    g_object_unref(server);
    iterateUntil(context, [&] { return !g_main_context_pending(context); });
    g_clear_object(&client);
    g_clear_object(&listening);
    g_object_unref(address);
}

bool probeListener()
{
    Probe probe;
    GMainContext *context = g_main_context_new();
    g_main_context_push_thread_default(context);
    runProbe(probe, context);
    const bool leaks = probe.accepted && !probe.finalized;
    if (leaks)
        g_object_unref(probe.accepted);
    if (probe.accepted && !probe.finalized)
        g_object_weak_unref(G_OBJECT(probe.accepted), onFinalized, &probe);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    qCDebug(lcUpnp, "libsoup's listener %s the sockets it accepts", leaks ? "keeps" : "lets go of");
    return leaks;
}

} // namespace

bool ListenerLeak::keepsAcceptedSockets()
{
    static const bool leaks = probeListener();
    return leaks;
}
