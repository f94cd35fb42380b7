#include "platform/servicemanager.h"

#include "platform/tmserver_debug.h"

#include <QString>
#include <glib.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstring>

namespace
{

// Warned of once: the watchdog would repeat it every few seconds.
void notify(const QByteArray &state)
{
    static bool warned = false;
    if (const int error = sd_notify(0, state.constData()); error < 0 && !warned) {
        qCWarning(lcPlatform, "Cannot tell systemd \"%s\": %s", state.constData(), std::strerror(-error));
        warned = true;
    }
}

gboolean sendDeferred(gpointer state)
{
    notify(*static_cast<QByteArray *>(state));
    return G_SOURCE_REMOVE;
}

gboolean sendWatchdogPing(gpointer)
{
    notify("WATCHDOG=1");
    return G_SOURCE_CONTINUE;
}

} // namespace

void ServiceManager::setStatus(const QString &status, bool ready)
{
    if (!ready) {
        notify("STATUS=" + status.toUtf8());
        return;
    }
    // After the announcements the loop has queued (GSSDP sends them from timers of default
    // priority), so that what systemd starts next finds the device announced.
    g_idle_add_full(G_PRIORITY_LOW, sendDeferred, new QByteArray("READY=1\nSTATUS=" + status.toUtf8()),
        [](gpointer state) { delete static_cast<QByteArray *>(state); });
}

void ServiceManager::feedWatchdog()
{
    uint64_t intervalUsec = 0;
    if (sd_watchdog_enabled(0, &intervalUsec) <= 0)
        return;
    g_timeout_add(guint(std::max<uint64_t>(intervalUsec / 2000, 1)), sendWatchdogPing, nullptr);
    notify("WATCHDOG=1");
}

void ServiceManager::stopping()
{
    notify("STOPPING=1");
}
