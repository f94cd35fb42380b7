#include "upnp/upnpcontext.h"

#include "device/tmserverdevice.h"
#include "platform/tmserver_debug.h"
#include "upnp/acceptguard.h"
#include "upnp/connectionreaper.h"
#include "upnp/httpguard.h"

#include <libgupnp/gupnp.h>
#include <sys/socket.h>

namespace
{
const QString installationDirectory = QStringLiteral(TMSERVER_INSTALL_DIR);
const QString iconDirectory = installationDirectory + QLatin1String("share/icons/");
const gint64 replyFlushMicroseconds = 250 * 1000;

// Answers handed to GUPnP (the 501s of actions still pending when the server device goes)
// are only written by the main loop, which has already ended: give it a bounded moment.
void flushPendingReplies()
{
    const gint64 deadline = g_get_monotonic_time() + replyFlushMicroseconds;
    while (g_get_monotonic_time() < deadline && g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
}

// The HTTP server listens with GLib's default backlog of 10; a head unit opening more
// connections at once would see the rest stall until it retries.
void widenListenBacklog(GUPnPContext *context)
{
    GSList *listeners = soup_server_get_listeners(gupnp_context_get_server(context));
    for (GSList *listener = listeners; listener; listener = listener->next)
        listen(g_socket_get_fd(G_SOCKET(listener->data)), SOMAXCONN);
    g_slist_free(listeners);
}
} // namespace

class UpnpContextPrivate
{
public:
    GUPnPContext *context = nullptr;
    TmServerDevice *serverDevice = nullptr;
    QString interfaceName;
    int port = 0;
};

UpnpContext::UpnpContext(const QString &interfaceName, int port, QObject *parent)
    : QObject(parent)
    , d(new UpnpContextPrivate)
{
    d->interfaceName = interfaceName;
    d->port = port;
}

UpnpContext::~UpnpContext()
{
    delete d->serverDevice;
    d->serverDevice = nullptr;
    flushPendingReplies();
    if (d->context) {
        g_object_unref(d->context);
        d->context = nullptr;
    }
    delete d;
}

bool UpnpContext::start()
{
    if (!createContext() || !createServerDevice())
        return false;
    gupnp_context_host_path(d->context, installationDirectory.toLatin1().constData(), "/");
    gupnp_context_host_path(d->context, iconDirectory.toLatin1().constData(), "/icons");
    d->serverDevice->setAvailable();
    return true;
}

bool UpnpContext::createContext()
{
    if (d->context)
        return true;
    if (d->port < 0 || d->port > 65535) {
        qCWarning(lcUpnp, "Port %d is out of range", d->port);
        return false;
    }
    // The session's default proxy resolver loads libproxy and a settings backend with a bus
    // connection of its own, for a daemon that never uses a proxy.
    g_setenv("GIO_USE_PROXY_RESOLVER", "dummy", FALSE);
    GError *error = nullptr;
    d->context = gupnp_context_new_full(
        d->interfaceName.toLatin1().constData(), nullptr, guint16(d->port), GSSDP_UDA_VERSION_1_0, &error);
    if (error) {
        qCWarning(lcUpnp, "Cannot open the UPnP context on interface \"%s\" port %d: %s",
            d->interfaceName.toLatin1().constData(), d->port, error->message);
        g_error_free(error);
        g_clear_object(&d->context);
        return false;
    }
    if (d->context) {
        HttpGuard::install(d->context);
        ConnectionReaper::install(d->context);
        widenListenBacklog(d->context);
        AcceptGuard::install(d->context);
        // Events go straight to the head unit on the link; a proxy configured for the
        // handset's other networks must never carry them.
        soup_session_set_proxy_resolver(gupnp_context_get_session(d->context), nullptr);
    }
    return d->context != nullptr;
}

bool UpnpContext::createServerDevice()
{
    if (!d->context)
        return false;
    const QString descriptionDir = installationDirectory + QLatin1String("xml");
    delete d->serverDevice;
    d->serverDevice = nullptr;
    d->serverDevice = new TmServerDevice(descriptionDir, this);
    return d->serverDevice->createRootDevice(d->context);
}
