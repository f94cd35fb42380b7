// The floor the daemon is measured against: a Qt 6 event loop serving GLib, a session bus
// connection and one GUPnP root device made from the installed description, whose
// GetApplicationStatus is answered at once, without any back-end.
//
//   tmbench_floor INTERFACE PORT INSTALL_DIR [deferred|relay]
//
// With "deferred" the answer is given from the next pass of the Qt event loop instead of inside
// the handler, as a relay that waits for a reply must do. With "relay" it is the design floor of
// the daemon: the action goes to the back-end over the daemon's BusClient, on the same loop, and
// is answered from the reply as the daemon answers it.
//
// Prints the description's location on stdout once the device is available; ends on SIGTERM.
#include "bridge/actionrelay_p.h"
#include "platform/posixsignalproxy.h"
#include "vehiraservercontract.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>
#include <libgupnp/gupnp.h>

#include <cstdio>
#include <memory>
#include <unordered_map>

namespace
{

// The size of the demo back-end's answer, so both sides move the same bytes.
const char appStatus[] = "<appStatusList><appStatus><appID>0x0001</appID><status><profileID>0</profileID>"
                         "<statusType>Notrunning</statusType></status></appStatus></appStatusList>";

void answerAppStatus(GUPnPService *, GUPnPServiceAction *action, gpointer)
{
    gupnp_service_action_set(action, "AppStatus", G_TYPE_STRING, appStatus, nullptr);
    gupnp_service_action_return_success(action);
}

void answerAppStatusDeferred(GUPnPService *service, GUPnPServiceAction *action, gpointer)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [service, action] { answerAppStatus(service, action, nullptr); },
        Qt::QueuedConnection);
}

// The calls under way, each until its reply.
std::unordered_map<GUPnPServiceAction *, std::unique_ptr<BusCall>> relayed;

void relayAppStatus(GUPnPService *, GUPnPServiceAction *action, gpointer backend)
{
    char *appId = nullptr;
    gupnp_service_action_get(action, "AppID", G_TYPE_STRING, &appId, nullptr);
    std::unique_ptr<BusCall> call = static_cast<BusClient *>(backend)->call(
        VehiraServer::GetApplicationStatus, {std::string(appId ? appId : "")}, [action](sd_bus_message *reply) {
            sendActionResult(reply, VehiraServer::GetApplicationStatus, action, "AppStatus");
            relayed.erase(action);
        });
    g_free(appId);
    if (call)
        relayed.emplace(action, std::move(call));
    else
        answerUnavailable(action);
}

GCallback answerFor(const QByteArray &mode)
{
    if (mode == "deferred")
        return G_CALLBACK(answerAppStatusDeferred);
    return mode == "relay" ? G_CALLBACK(relayAppStatus) : G_CALLBACK(answerAppStatus);
}

// The template leaves the UDN empty; a root device needs one.
bool writeDescription(const QString &templatePath, const QString &descriptionPath)
{
    QFile templateFile(templatePath);
    QFile description(descriptionPath);
    if (!templateFile.open(QIODevice::ReadOnly) || !description.open(QIODevice::WriteOnly))
        return false;
    QByteArray text = templateFile.readAll();
    text.replace("<UDN></UDN>", "<UDN>uuid:" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + "</UDN>");
    return description.write(text) == text.size();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const QByteArray mode = argc == 5 ? argv[4] : "";
    if ((argc != 4 && argc != 5) || (argc == 5 && mode != "deferred" && mode != "relay")) {
        std::fprintf(stderr, "usage: %s INTERFACE PORT INSTALL_DIR [deferred|relay]\n", argv[0]);
        return 2;
    }
    const QByteArray interfaceName = argv[1];
    const guint16 port = guint16(QByteArray(argv[2]).toUInt());
    const QString installDir = QString::fromLocal8Bit(argv[3]);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus\n");
        return 1;
    }

    QTemporaryDir descriptionDir;
    const QString descriptionPath = descriptionDir.filePath(QStringLiteral("floor.xml"));
    if (!writeDescription(installDir + QLatin1String("/xml/tmserverdevice.xml"), descriptionPath)) {
        std::fprintf(stderr, "cannot write the description\n");
        return 1;
    }

    GError *error = nullptr;
    GUPnPContext *context
        = gupnp_context_new_full(interfaceName.constData(), nullptr, port, GSSDP_UDA_VERSION_1_0, &error);
    if (!context) {
        std::fprintf(stderr, "no UPnP context: %s\n", error ? error->message : "");
        g_clear_error(&error);
        return 1;
    }
    // The installation directory is the description folder, so the service descriptions are served from it.
    GUPnPRootDevice *rootDevice = gupnp_root_device_new(
        context, descriptionPath.toLocal8Bit().constData(), installDir.toLocal8Bit().constData(), &error);
    if (!rootDevice) {
        std::fprintf(stderr, "no root device: %s\n", error ? error->message : "");
        g_clear_error(&error);
        g_object_unref(context);
        return 1;
    }
    GUPnPServiceInfo *service = gupnp_device_info_get_service(
        GUPNP_DEVICE_INFO(rootDevice), "urn:schemas-upnp-org:service:TmApplicationServer:1");
    // The bench stops the floor between its calls, so no call is left under way.
    BusClient backend("com.quorvex.VehiraServer", "/", VehiraServer::interfaceName, 25000000);
    g_signal_connect(service, "action-invoked::GetApplicationStatus", answerFor(mode), &backend);
    gupnp_root_device_set_available(rootDevice, TRUE);

    PosixSignalProxy signalProxy;
    QObject::connect(&signalProxy, &PosixSignalProxy::posixSIGTERM, &application, &QCoreApplication::quit);
    std::printf("%s\n", gupnp_device_info_get_location(GUPNP_DEVICE_INFO(rootDevice)));
    std::fflush(stdout);
    const int exitCode = QCoreApplication::exec();

    g_object_unref(service);
    g_object_unref(rootDevice);
    g_object_unref(context);
    return exitCode;
}
