#include "bridge/upnphandlers_p.h"

#include "bridge/actionrelay_p.h"
#include "bridge/tmservice_p.h"
#include "platform/tmserver_debug.h"
#include "upnp/httpserverpolicy.h"

#include <QUrl>

#include <algorithm>
#include <cstring>

namespace
{

using VehiraServer::ActionRoute;

const ActionRoute *findRoute(const char *name)
{
    for (const ActionRoute &route : VehiraServer::actionRoutes) {
        if (name && std::strcmp(route.method->name, name) == 0)
            return &route;
    }
    return nullptr;
}

// An argument the request lacks reads as the empty string or 0. The contract's type decides.
BusArgument readInArgument(GUPnPServiceAction *action, const char *name, char type, bool present)
{
    GValue value = G_VALUE_INIT;
    g_value_init(&value, type == 'u' ? G_TYPE_UINT : G_TYPE_STRING);
    if (present)
        gupnp_service_action_get_value(action, name, &value);
    const char *text = type == 'u' ? nullptr : g_value_get_string(&value);
    const BusArgument read
        = type == 'u' ? BusArgument(uint32_t(g_value_get_uint(&value))) : std::string(text ? text : "");
    g_value_unset(&value);
    return read;
}

// GUPnP warns of every argument it cannot find: only those the request has are asked for.
std::vector<BusArgument> readInArguments(GUPnPServiceAction *action, const ActionRoute &route)
{
    // libsoup 3.2 declares neither a cleanup nor a cast for its message type.
    g_autoptr(GObject) message = G_OBJECT(gupnp_service_action_get_message(action));
    const std::vector<std::string> *present
        = HttpServerPolicy::soapArgumentNames(reinterpret_cast<SoupServerMessage *>(message));
    std::vector<BusArgument> arguments;
    for (const char *name : route.inArguments) {
        if (name)
            arguments.push_back(readInArgument(action, name, route.method->inSignature[arguments.size()],
                !present || std::find(present->begin(), present->end(), name) != present->end()));
    }
    return arguments;
}

QString argumentText(const BusArgument &argument)
{
    const std::string *text = std::get_if<std::string>(&argument);
    return text ? QString::fromStdString(*text) : QString::number(std::get<uint32_t>(argument));
}

QString requestLine(const ActionRoute &route, const std::vector<BusArgument> &arguments)
{
    const QString format = QLatin1String(route.debugFormat);
    switch (arguments.size()) {
    case 0:
        return format;
    case 1:
        return format.arg(argumentText(arguments[0]));
    default:
        return format.arg(argumentText(arguments[0]), argumentText(arguments[1]));
    }
}

// The address under which the head unit reaches this device's HTTP server, as a full URI.
std::string urlBase(GUPnPService *service)
{
    const GUri *base = gupnp_service_info_get_url_base(GUPNP_SERVICE_INFO(service));
    if (!base)
        return std::string();
    g_autofree char *text = g_uri_to_string(const_cast<GUri *>(base));
    return QUrl(QString::fromUtf8(text), QUrl::TolerantMode).toString().toStdString();
}

void onActionInvoked(GUPnPService *service, GUPnPServiceAction *action, gpointer bridgeData)
{
    auto *bridge = static_cast<TmService *>(bridgeData);
    const ActionRoute *route = findRoute(gupnp_service_action_get_name(action));
    if (!bridge || !route) {
        answerUnavailable(action);
        return;
    }
    std::vector<BusArgument> arguments = readInArguments(action, *route);
    qCDebug(lcBridge, "%s", qPrintable(requestLine(*route, arguments)));
    if (route->withUrlBase)
        arguments.push_back(urlBase(service));
    TmServicePrivate::get(bridge)->relayAction(action, *route->method, arguments, route->outArgument);
}

} // namespace

void connectUpnpHandlers(TmService *bridge)
{
    // GUPnP calls only handlers connected to the detailed signal.
    for (const ActionRoute &route : VehiraServer::actionRoutes) {
        const QByteArray signal = QByteArrayLiteral("action-invoked::") + route.method->name;
        g_signal_connect_data(TmServicePrivate::get(bridge)->serviceOf(route.service), signal.constData(),
            G_CALLBACK(onActionInvoked), bridge, nullptr, GConnectFlags(0));
    }
}
