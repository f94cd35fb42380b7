#include "app/commandline.h"
#include "backend/upnpresult.h"
#include "platform/posixsignalproxy.h"
#include "platform/tmserver_debug.h"
#include "platform/vhlogger.h"
#include "platform/vhnetworkinterface.h"
#include "upnp/upnpcontext.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>

#include <csignal>
#include <memory>

namespace
{

const char backendService[] = "com.quorvex.VehiraServer";

QString defaultInterfaceName()
{
    std::unique_ptr<VhNetworkInterface> networkInterface(VhNetworkInterface::factory());
    const QString name = networkInterface ? networkInterface->interfaceName() : QString();
    return name.isEmpty() ? QStringLiteral("usb0") : name;
}

// GUPnP is attached to GLib's default main context; only the GLib event dispatcher serves it.
bool eventLoopServesGlib()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    return dispatcher && dispatcher->inherits("QEventDispatcherGlib");
}

} // namespace

int main(int argc, char **argv)
{
    VhLogger::instance(argc, argv);
    qInstallMessageHandler(VhLogger::DoOutput);

    CommandLine defaults;
    defaults.interfaceName = defaultInterfaceName();
    const CommandLine settings = parseCommandLine(argc, argv, defaults);
    if (settings.helpShown)
        return 0;

    // A head unit that drops a connection must not kill the daemon.
    std::signal(SIGPIPE, SIG_IGN);

    auto *application = new QCoreApplication(argc, argv);
    if (!eventLoopServesGlib()) {
        qCCritical(lcApp, "The Qt event loop does not dispatch GLib's main context (is QT_NO_GLIB set?)");
        delete application;
        return 1;
    }

    auto *signalProxy = new PosixSignalProxy(nullptr);
    QObject::connect(signalProxy, &PosixSignalProxy::posixSIGHUP, application, &QCoreApplication::quit);
    QObject::connect(signalProxy, &PosixSignalProxy::posixSIGTERM, application, &QCoreApplication::quit);
    QObject::connect(signalProxy, &PosixSignalProxy::posixSIGINT, application, &QCoreApplication::quit);

    UpnpResult::registerUpnpResults();

    auto *upnpContext = new UpnpContext(settings.interfaceName, settings.port, nullptr);
    if (!upnpContext->start()) {
        delete upnpContext;
        delete signalProxy;
        delete application;
        return 1;
    }

    auto *backendWatcher = new QDBusServiceWatcher(QLatin1String(backendService), QDBusConnection::sessionBus(),
        QDBusServiceWatcher::WatchForUnregistration, nullptr);
    QObject::connect(backendWatcher, &QDBusServiceWatcher::serviceUnregistered, application, &QCoreApplication::quit);

    const int exitCode = QCoreApplication::exec();

    delete backendWatcher;
    delete upnpContext;
    delete signalProxy;
    delete application;
    return exitCode;
}
