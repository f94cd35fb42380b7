// The floor of the daemon's back-end leg: the call the daemon makes for GetApplicationStatus,
// made directly to the back-end through the same generated proxy, one at a time.
//
//   tmbench_dbus_floor COUNT [watched]
//
// Each call is awaited with waitForFinished(), or with "watched" by a QDBusPendingCallWatcher in
// a running event loop, as the daemon awaits its calls. Prints each call's duration in microseconds, one a line, after
// 100 calls that are not counted.
#include "backend/upnpresult.h"
#include "vehiraserverinterface.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>

#include <algorithm>
#include <cstdio>

namespace
{
void waitInEventLoop(const QDBusPendingCall &call)
{
    QEventLoop loop;
    QDBusPendingCallWatcher watcher(call);
    QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 0;
    const bool watched = argc > 2 && qstrcmp(argv[2], "watched") == 0;
    if (count < 1) {
        std::fprintf(stderr, "usage: %s COUNT [watched]\n", argv[0]);
        return 2;
    }
    UpnpResult::registerUpnpResults();
    VehiraServerInterface backend(
        QStringLiteral("com.quorvex.VehiraServer"), QStringLiteral("/"), QDBusConnection::sessionBus());
    const QString appId = QStringLiteral("0x0001");

    const int warmUp = std::min(count, 100);
    QElapsedTimer timer;
    for (int call = 0; call < warmUp + count; ++call) {
        timer.start();
        QDBusPendingReply<UpnpResult::String> reply = backend.GetApplicationStatus(appId);
        if (watched)
            waitInEventLoop(reply);
        else
            reply.waitForFinished();
        const qint64 elapsed = timer.nsecsElapsed();
        if (reply.isError() || reply.value().errorCode != 0) {
            std::fprintf(stderr, "call failed: %s\n", qPrintable(reply.error().message()));
            return 1;
        }
        if (call >= warmUp)
            std::printf("%.1f\n", double(elapsed) / 1000.0);
    }
    return 0;
}
