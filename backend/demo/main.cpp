#include "backend/demo/demobackend.h"
#include "platform/posixsignalproxy.h"
#include "platform/vhlogger.h"
#include "vehiraserveradaptor.h"
#include "vehiraservercontract.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>

namespace
{
int replyDelayOption(const QCoreApplication &application)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Demonstration back-end for tmserverd on the D-Bus session bus."));
    parser.addHelpOption();
    const QCommandLineOption replyDelay(QStringLiteral("reply-delay"),
        QStringLiteral("Hold every reply back by <ms> milliseconds."), QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOption(replyDelay);
    parser.process(application);
    bool valid = false;
    const int delay = parser.value(replyDelay).toInt(&valid);
    if (!valid || delay < 0)
        parser.showHelp(1);
    return delay;
}
} // namespace

int main(int argc, char **argv)
{
    VhLogger::instance(argc, argv);
    qInstallMessageHandler(VhLogger::DoOutput);
    QCoreApplication application(argc, argv);
    const int replyDelay = replyDelayOption(application);

    UpnpResult::registerUpnpResults();
    DemoBackend backend(replyDelay);
    new VehiraServerAdaptor(&backend);

    PosixSignalProxy signalProxy;
    QObject::connect(&signalProxy, &PosixSignalProxy::posixSIGTERM, &application, &QCoreApplication::quit);
    QObject::connect(&signalProxy, &PosixSignalProxy::posixSIGINT, &application, &QCoreApplication::quit);

    QDBusConnection bus = QDBusConnection::sessionBus();
    // The object goes up before the name, so a client that sees the name finds the object.
    if (!bus.registerObject(QLatin1String(VehiraServer::objectPath), &backend)) {
        qCritical("Cannot register the back-end object: %s", qUtf8Printable(bus.lastError().message()));
        return 1;
    }
    if (!bus.registerService(QLatin1String(VehiraServer::busName))) {
        qCritical("Cannot own %s: %s", VehiraServer::busName, qUtf8Printable(bus.lastError().message()));
        return 1;
    }
    qInfo("Demo back-end ready as %s (reply delay %d ms)", VehiraServer::busName, replyDelay);
    const int exitCode = QCoreApplication::exec();
    bus.unregisterService(QLatin1String(VehiraServer::busName));
    return exitCode;
}
