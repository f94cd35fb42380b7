#include "platform/servicemanager.h"

#include "platform/tmserver_debug.h"

#include <QString>
#include <glib.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstring>

namespace
{

// Once: the watchdog would repeat it every few seconds.
void notify(const QByteArray &state)
{
    static bool warned = false;
    if (const int error = sd_notify(0, state.constData()); error < 0 && !warned) {
        qCWarning(lcPlatform, "Cannot tell systemd \"%s\": %s", state.constData(), std::strerror(-error));
        warned = true;
    }
}

gboolean sendWatchdogPing(gpointer)
{
    notify("WATCHDOG=1");
    return G_SOURCE_CONTINUE;
}

} // namespace

void ServiceManager::setStatus(const QString &status, bool ready)
{
    notify((ready ? "READY=1\nSTATUS=" : "STATUS=") + status.toUtf8());
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
