#include "upnp/upnpcontext.h"

#include "platform/servicemanager.h"
#include "platform/tmserver_debug.h"
#include "upnp/httpserverpolicy.h"
#include "upnp/publisheddevice.h"

#include <libgupnp/gupnp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace
{
const QString installationDirectory = QStringLiteral(TMSERVER_INSTALL_DIR);
const QString iconDirectory = installationDirectory + QLatin1String("share/icons/");
const gint64 replyFlushMicroseconds = 250 * 1000;
// The stack learns the interfaces over netlink within milliseconds; a port in use or an
// interface without an address yields no context at all.
const guint firstContextTimeoutMs = 1000;

// Answers handed to GUPnP (the 501s of actions still pending when the root device goes)
// are only written by the main loop, which has already ended: give it a bounded moment.
void flushPendingReplies()
{
    const gint64 deadline = g_get_monotonic_time() + replyFlushMicroseconds;
    while (g_get_monotonic_time() < deadline && g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
}

// The root device hosts its own directory at "/", so ours go on top, after each new root device.
void hostDirectories(GUPnPContext *context)
{
    gupnp_context_host_path(context, installationDirectory.toLatin1().constData(), "/");
    gupnp_context_host_path(context, iconDirectory.toLatin1().constData(), "/icons");
}

// The stack opens a context on every interface, and each context has opened its HTTP server as it
// was made (the stack's filter would only silence the SSDP side): one elsewhere is silenced and its
// server closed.
void leaveAlone(GUPnPContext *context)
{
    g_object_set(context, "active", FALSE, nullptr);
    soup_server_disconnect(gupnp_context_get_server(context));
}

const char *withdrawalReason(const QByteArray &interfaceName)
{
    ifreq request {};
    std::strncpy(request.ifr_name, interfaceName.constData(), IFNAMSIZ - 1);
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool exists = probe >= 0 && ioctl(probe, SIOCGIFFLAGS, &request) == 0;
    if (probe >= 0)
        close(probe);
    if (!exists)
        return "interface gone";
    return (request.ifr_flags & IFF_UP) ? "address removed" : "interface down";
}

gboolean markTimedOut(gpointer timedOut)
{
    *static_cast<bool *>(timedOut) = true;
    return G_SOURCE_REMOVE;
}
} // namespace

class UpnpContextPrivate
{
public:
    static void onContextAvailable(GUPnPContextManager *, GUPnPContext *context, gpointer self);
    static void onContextUnavailable(GUPnPContextManager *, GUPnPContext *context, gpointer self);
    void publishOn(GUPnPContext *context);
    void withdraw(const char *reason);
    void waitForFirstContext();

    GUPnPContextManager *manager = nullptr;
    // The contexts open on the interface (one per address), oldest first, one reference each.
    std::vector<GUPnPContext *> contexts;
    GUPnPContext *published = nullptr;
    PublishedDevice *serverDevice = nullptr;
    QByteArray interfaceName;
    int port = 0;
    bool withdrawnBefore = false;
};

void UpnpContextPrivate::onContextAvailable(GUPnPContextManager *, GUPnPContext *context, gpointer self)
{
    auto *d = static_cast<UpnpContextPrivate *>(self);
    if (d->interfaceName != gssdp_client_get_interface(GSSDP_CLIENT(context))) {
        leaveAlone(context);
        return;
    }
    d->contexts.push_back(GUPNP_CONTEXT(g_object_ref(context)));
    if (!d->published)
        d->publishOn(context);
}

void UpnpContextPrivate::onContextUnavailable(GUPnPContextManager *, GUPnPContext *context, gpointer self)
{
    auto *d = static_cast<UpnpContextPrivate *>(self);
    const auto known = std::find(d->contexts.begin(), d->contexts.end(), context);
    if (known == d->contexts.end())
        return;
    d->contexts.erase(known);
    if (d->published == context)
        d->withdraw(withdrawalReason(d->interfaceName));
    g_object_unref(context);
    if (!d->published && !d->contexts.empty())
        d->publishOn(d->contexts.front());
}

void UpnpContextPrivate::publishOn(GUPnPContext *context)
{
    // Before the root device, whose services hold requests and publish events through it. Installed
    // once, as the stack hands back the same context after a link down and up.
    HttpServerPolicy::install(context);
    if (!serverDevice->createRootDevice(context)) {
        qCWarning(lcUpnp, "Cannot publish the device on %s", interfaceName.constData());
        return;
    }
    hostDirectories(context);
    // The stack silences a context when it goes; it does not wake it when it comes back.
    g_object_set(context, "active", TRUE, nullptr);
    serverDevice->setAvailable();
    published = context;
    const char *address = gssdp_client_get_host_ip(GSSDP_CLIENT(context));
    ServiceManager::setStatus(QStringLiteral("Published on %1 %2 port %3")
                                  .arg(QLatin1String(interfaceName), QLatin1String(address))
                                  .arg(gupnp_context_get_port(context)),
        !withdrawnBefore);
    qCInfo(lcUpnp, "%s on %s address %s port %u, LOCATION %s, UDN %s",
        withdrawnBefore ? "Link back: device published again" : "Device published", interfaceName.constData(), address,
        gupnp_context_get_port(context), qUtf8Printable(serverDevice->location()), qUtf8Printable(serverDevice->udn()));
}

void UpnpContextPrivate::withdraw(const char *reason)
{
    qCInfo(lcUpnp, "Device withdrawn from %s address %s: %s", interfaceName.constData(),
        gssdp_client_get_host_ip(GSSDP_CLIENT(published)), reason);
    ServiceManager::setStatus(QStringLiteral("Withdrawn from %1 (%2); waiting for it")
                                  .arg(QLatin1String(interfaceName), QLatin1String(reason)));
    serverDevice->withdraw();
    published = nullptr;
    withdrawnBefore = true;
}

void UpnpContextPrivate::waitForFirstContext()
{
    bool timedOut = false;
    const guint timeout = g_timeout_add(firstContextTimeoutMs, markTimedOut, &timedOut);
    while (!published && !timedOut)
        g_main_context_iteration(nullptr, TRUE);
    if (!timedOut)
        g_source_remove(timeout);
}

UpnpContext::UpnpContext(const QString &interfaceName, int port, PublishedDevice *serverDevice, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<UpnpContextPrivate>())
{
    d->serverDevice = serverDevice;
    d->interfaceName = interfaceName.toLatin1();
    d->port = port;
}

UpnpContext::~UpnpContext()
{
    if (d->manager)
        g_signal_handlers_disconnect_by_data(d->manager, d.get());
    if (d->published)
        d->serverDevice->withdraw();
    flushPendingReplies();
    for (GUPnPContext *context : d->contexts)
        g_object_unref(context);
    g_clear_object(&d->manager);
}

bool UpnpContext::start()
{
    if (d->manager)
        return d->published != nullptr;
    if (d->port < 0 || d->port > 65535) {
        qCWarning(lcUpnp, "Port %d is out of range", d->port);
        return false;
    }
    if (if_nametoindex(d->interfaceName.constData()) == 0) {
        qCWarning(lcUpnp, "There is no network interface \"%s\"", d->interfaceName.constData());
        return false;
    }
    // Contexts are opened from the main loop only, after this.
    d->manager = gupnp_context_manager_create_full(GSSDP_UDA_VERSION_1_0, G_SOCKET_FAMILY_IPV4, guint(d->port));
    g_signal_connect(d->manager, "context-available", G_CALLBACK(UpnpContextPrivate::onContextAvailable), d.get());
    g_signal_connect(d->manager, "context-unavailable", G_CALLBACK(UpnpContextPrivate::onContextUnavailable), d.get());
    d->waitForFirstContext();
    if (!d->published)
        qCWarning(
            lcUpnp, "Cannot open the UPnP context on interface \"%s\" port %d", d->interfaceName.constData(), d->port);
    return d->published != nullptr;
}
