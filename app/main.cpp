#include "app/commandline.h"
#include "device/tmserverdevice.h"
#include "platform/posixsignalproxy.h"
#include "platform/servicemanager.h"
#include "platform/tmserver_debug.h"
#include "platform/vhlogger.h"
#include "platform/vhnetworkinterface.h"
#include "upnp/upnpcontext.h"
#include "vehiraservercontract.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <csignal>
#include <memory>

namespace
{

const char descriptionDirectory[] = TMSERVER_INSTALL_DIR "xml";

// What the daemon is made of, in the order main builds it; destroyed in reverse, so the UPnP
// host withdraws the root device before the server device goes.
struct Daemon {
    std::unique_ptr<QCoreApplication> application;
    std::unique_ptr<PosixSignalProxy> signalProxy;
    std::unique_ptr<TmServerDevice> serverDevice;
    std::unique_ptr<UpnpContext> upnpHost;
    std::unique_ptr<BusClient> backendWatch;
};

QString defaultInterfaceName()
{
    const std::unique_ptr<VhNetworkInterface> networkInterface(VhNetworkInterface::factory());
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

    Daemon daemon;
    daemon.application = std::make_unique<QCoreApplication>(argc, argv);
    if (!eventLoopServesGlib()) {
        qCCritical(lcApp, "The Qt event loop does not dispatch GLib's main context (is QT_NO_GLIB set?)");
        return 1;
    }

    daemon.signalProxy = std::make_unique<PosixSignalProxy>(nullptr);
    QCoreApplication *application = daemon.application.get();
    for (auto posixSignal :
        {&PosixSignalProxy::posixSIGHUP, &PosixSignalProxy::posixSIGTERM, &PosixSignalProxy::posixSIGINT})
        QObject::connect(daemon.signalProxy.get(), posixSignal, application, &QCoreApplication::quit);

    ServiceManager::feedWatchdog();
    daemon.serverDevice = std::make_unique<TmServerDevice>(QLatin1String(descriptionDirectory), nullptr);
    daemon.upnpHost
        = std::make_unique<UpnpContext>(settings.interfaceName, settings.port, daemon.serverDevice.get(), nullptr);
    if (!daemon.upnpHost->start())
        return 1;

    daemon.backendWatch
        = std::make_unique<BusClient>(VehiraServer::busName, VehiraServer::objectPath, VehiraServer::interfaceName, 0);
    daemon.backendWatch->onOwnerLost([] { QCoreApplication::quit(); });

    const int status = QCoreApplication::exec();
    ServiceManager::stopping();
    return status;
}
