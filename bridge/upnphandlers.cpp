#include "bridge/upnphandlers_p.h"

#include "bridge/actionrelay_p.h"
#include "bridge/tmservice_p.h"
#include "platform/tmserver_debug.h"

#include <QUrl>

#include <cstring>

namespace
{

enum class Service { ApplicationServer, ClientProfile };

struct InArgument {
    const char *name;
    GType type;
};

// One UPnP action, relayed to the back-end method of the same name.
struct ActionRoute {
    Service service;
    const char *name;
    InArgument inArguments[2];
    bool withUrlBase;
    const char *outArgument;
    ActionAnswer answer;
    const char *debugFormat;
};

const ActionRoute actionRoutes[] = {
    {Service::ApplicationServer, "GetApplicationList",
        {{"AppListingFilter", G_TYPE_STRING}, {"ProfileID", G_TYPE_UINT}}, true, "AppListing",
        sendActionResult<UpnpResult::String>, "GetApplicationList(AppListingFilter='%1'ProfileID='%2')"},
    {Service::ApplicationServer, "LaunchApplication", {{"AppID", G_TYPE_STRING}, {"ProfileID", G_TYPE_UINT}}, false,
        "AppURI", sendActionResult<UpnpResult::String>, "LaunchApplication(AppID='%1'ProfileID='%2')"},
    {Service::ApplicationServer, "TerminateApplication", {{"AppID", G_TYPE_STRING}, {"ProfileID", G_TYPE_UINT}}, false,
        "TerminationResult", sendActionResult<UpnpResult::String>, "TerminateApplication(AppID='%1'ProfileID='%2')"},
    {Service::ApplicationServer, "GetApplicationStatus", {{"AppID", G_TYPE_STRING}, {}}, false, "AppStatus",
        sendActionResult<UpnpResult::String>, "GetApplicationStatus(AppID='%1')"},
    {Service::ClientProfile, "GetMaxNumProfiles", {}, false, "NumProfilesAllowed", sendActionResult<UpnpResult::uint32>,
        "GetMaxNumProfiles()"},
    {Service::ClientProfile, "SetClientProfile", {{"ProfileID", G_TYPE_UINT}, {"ClientProfile", G_TYPE_STRING}}, false,
        "ResultProfile", sendActionResult<UpnpResult::String>, "SetClientProfile(ProfileID='%1'ClientProfile='%2')"},
    {Service::ClientProfile, "GetClientProfile", {{"ProfileID", G_TYPE_UINT}, {}}, false, "ClientProfile",
        sendActionResult<UpnpResult::String>, "UPnP : GetClientProfile(ProfileID='%1')"},
};

template <typename Route, size_t count>
const Route *findRoute(const Route (&routes)[count], const char *name, const char *Route::*key)
{
    for (const Route &route : routes) {
        if (name && std::strcmp(route.*key, name) == 0)
            return &route;
    }
    return nullptr;
}

// An argument the request lacks reads as the empty string or 0.
QVariant readInArgument(GUPnPServiceAction *action, const InArgument &argument)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, argument.type);
    gupnp_service_action_get_value(action, argument.name, &value);
    const QVariant read = argument.type == G_TYPE_UINT ? QVariant(uint(g_value_get_uint(&value)))
                                                       : QVariant(QString::fromUtf8(g_value_get_string(&value)));
    g_value_unset(&value);
    return read;
}

QList<QVariant> readInArguments(GUPnPServiceAction *action, const ActionRoute &route)
{
    QList<QVariant> arguments;
    for (const InArgument &argument : route.inArguments) {
        if (argument.name)
            arguments.append(readInArgument(action, argument));
    }
    return arguments;
}

QString requestLine(const ActionRoute &route, const QList<QVariant> &arguments)
{
    const QString format = QLatin1String(route.debugFormat);
    switch (arguments.size()) {
    case 0:
        return format;
    case 1:
        return format.arg(arguments[0].toString());
    default:
        return format.arg(arguments[0].toString(), arguments[1].toString());
    }
}

// The address under which the head unit reaches this device's HTTP server, as a full URI.
QString urlBase(GUPnPService *service)
{
    const GUri *base = gupnp_service_info_get_url_base(GUPNP_SERVICE_INFO(service));
    if (!base)
        return QString();
    char *text = g_uri_to_string(const_cast<GUri *>(base));
    const QUrl url(QString::fromUtf8(text), QUrl::TolerantMode);
    g_free(text);
    return url.toString();
}

void onActionInvoked(GUPnPService *service, GUPnPServiceAction *action, gpointer bridgeData)
{
    auto *bridge = static_cast<TmService *>(bridgeData);
    const ActionRoute *route = findRoute(actionRoutes, gupnp_service_action_get_name(action), &ActionRoute::name);
    if (!bridge || !route || !bridge->isValid()) {
        answerUnavailable(action);
        return;
    }
    QList<QVariant> arguments = readInArguments(action, *route);
    qCDebug(lcBridge, "%s", qPrintable(requestLine(*route, arguments)));
    if (route->withUrlBase)
        arguments.append(urlBase(service));
    TmServicePrivate::get(bridge)->relayAction(
        action, QLatin1String(route->name), arguments, route->outArgument, route->answer);
}

} // namespace

void connectUpnpHandlers(GUPnPServiceInfo *applicationServer, GUPnPServiceInfo *clientProfile, TmService *bridge)
{
    const auto serviceFor
        = [=](Service service) { return service == Service::ApplicationServer ? applicationServer : clientProfile; };
    // GUPnP calls only handlers connected to the detailed signal.
    for (const ActionRoute &route : actionRoutes) {
        const QByteArray signal = QByteArrayLiteral("action-invoked::") + route.name;
        g_signal_connect_data(serviceFor(route.service), signal.constData(), G_CALLBACK(onActionInvoked), bridge,
            nullptr, GConnectFlags(0));
    }
}
