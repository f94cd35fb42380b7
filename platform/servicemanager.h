#pragma once

class QString;

// What systemd is told of the daemon (sd_notify): that it is ready, where it stands, and that its
// main loop still turns. Without NOTIFY_SOCKET (started by hand, or by a test) nothing is sent.
namespace ServiceManager
{

// The daemon's state in a line, shown by "systemctl status". With ready, it also counts the daemon
// started, once the main loop has sent what it has queued.
void setStatus(const QString &status, bool ready = false);

// While GLib's default main context turns, pings systemd at half the interval its watchdog
// allows, so that a loop that wedges has the daemon killed; nothing when there is no watchdog.
void feedWatchdog();

void stopping();

} // namespace ServiceManager
