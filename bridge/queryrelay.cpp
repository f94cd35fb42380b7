#include "bridge/queryrelay_p.h"

#include "bridge/tmservice_p.h"
#include "platform/tmserver_debug.h"

#include <QHash>
#include <QPointer>
#include <QSet>
#include <libsoup/soup.h>
#include <systemd/sd-bus.h>

#include <cstring>
#include <utility>

namespace
{

enum class Service { ApplicationServer, ClientProfile };

// One evented state variable whose value only the back-end knows.
struct QueryRoute {
    Service service;
    const char *variable;
    const BusMethod *method;
    const char *debugFormat;
};

const QueryRoute queryRoutes[] = {
    {Service::ApplicationServer, "AppStatusUpdate", &VehiraServer::GetAppStatusUpdateState,
        "Query of AppStatusUpdate='%1'"},
    {Service::ApplicationServer, "AppListUpdate", &VehiraServer::GetAppListUpdateState, "Query of AppListUpdate='%1'"},
    {Service::ClientProfile, "UnusedProfileIDs", &VehiraServer::GetUnusedProfileIDs,
        "UPnP : Query of UnusedProfileIDs='%1'"},
};

const char valuesKey[] = "tmserver-variable-values";

const QueryRoute *routeOf(const char *variable)
{
    for (const QueryRoute &route : queryRoutes) {
        if (variable && std::strcmp(route.variable, variable) == 0)
            return &route;
    }
    return nullptr;
}

// The newest value the back-end gave for each evented variable of one service, kept with the
// service. A query's answer ranks by the moment the query left, a change by the moment it arrived,
// so a change signalled while a query is out wins over that query's (older) answer.
class VariableValues
{
public:
    static VariableValues *of(GUPnPServiceInfo *service)
    {
        auto *values = static_cast<VariableValues *>(g_object_get_data(G_OBJECT(service), valuesKey));
        if (!values) {
            values = new VariableValues;
            g_object_set_data_full(G_OBJECT(service), valuesKey, values,
                [](gpointer data) { delete static_cast<VariableValues *>(data); });
        }
        return values;
    }

    quint64 queryLeaves()
    {
        return ++lastRank;
    }

    void offer(const char *variable, const QString &value, quint64 rank)
    {
        Value &known = values[QByteArray(variable)];
        if (rank > known.rank)
            known = Value {value, rank};
    }

    void change(const char *variable, const QString &value)
    {
        offer(variable, value, ++lastRank);
    }

    const QString *find(const char *variable) const
    {
        const auto known = values.constFind(QByteArray(variable));
        return known == values.constEnd() ? nullptr : &known->text;
    }

    void forget()
    {
        values.clear();
    }

private:
    struct Value {
        QString text;
        quint64 rank = 0;
    };
    QHash<QByteArray, Value> values;
    quint64 lastRank = 0;
};

// The request was held until the back-end had answered, so the value is at hand: no waiting here.
void onQueryVariable(GUPnPService *, const char *variable, GValue *value, gpointer valuesData)
{
    const QString *known = static_cast<const VariableValues *>(valuesData)->find(variable);
    const QueryRoute *route = routeOf(variable);
    if (!known || !route)
        return;
    const QByteArray text = known->toLocal8Bit();
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, text.constData());
    qCDebug(lcBridge, "%s", qPrintable(QString::fromLatin1(route->debugFormat).arg(*known)));
}

// As GUPnP reads the header: the action name follows the first '#', up to the last quote.
bool namesQueryStateVariable(const char *soapAction)
{
    const char *name = soapAction ? std::strchr(soapAction, '#') : nullptr;
    if (!name)
        return false;
    QByteArray action(name + 1);
    const int quote = action.lastIndexOf('"');
    if (quote >= 0)
        action.truncate(quote);
    return action == "QueryStateVariable";
}

QByteArray pathOf(char *url)
{
    GUri *uri = url ? g_uri_parse(url, G_URI_FLAGS_NONE, nullptr) : nullptr;
    const QByteArray path = uri ? QByteArray(g_uri_get_path(uri)) : QByteArray();
    if (uri)
        g_uri_unref(uri);
    g_free(url);
    return path;
}

struct RelayedService {
    GUPnPServiceInfo *info;
    Service which;
    QByteArray controlPath;
    QByteArray eventPath;
};

RelayedService relayedService(GUPnPServiceInfo *info, Service which)
{
    return RelayedService {info, which, pathOf(gupnp_service_info_get_control_url(info)),
        pathOf(gupnp_service_info_get_event_subscription_url(info))};
}

bool needsValues(SoupServerMessage *message, const char *path, const RelayedService &service)
{
    SoupMessageHeaders *headers = soup_server_message_get_request_headers(message);
    const char *method = soup_server_message_get_method(message);
    if (service.eventPath == path)
        return std::strcmp(method, "SUBSCRIBE") == 0 && !soup_message_headers_get_one(headers, "SID");
    if (service.controlPath == path)
        return std::strcmp(method, SOUP_METHOD_POST) == 0
            && namesQueryStateVariable(soup_message_headers_get_one(headers, "SOAPAction"));
    return false;
}

// One request held at its headers until the back-end has answered the queries it needs. It owns
// itself: it ends once GUPnP has handled the request, or when the request ends without that.
class HeldRequest
{
public:
    HeldRequest(QueryRelayPrivate *relay, SoupServerMessage *message, const RelayedService &relayed, TmService *bridge);
    ~HeldRequest();
    // The relay goes: every answer still missing counts as empty, and the request goes on.
    void abandon();

private:
    struct Query {
        const QueryRoute *route;
        BusCall *call;
    };
    void ask(BusClient &backend, const QueryRoute &route);
    void takeAnswer(quint64 rank, sd_bus_message *reply);
    void cancelQueries();
    void goOn();
    void drop();
    void watchForHangUp();
    void stopWatchingHangUp();
    static gboolean onSocketEvent(GSocket *socket, GIOCondition, gpointer self);
    static void onDone(SoupServerMessage *, gpointer self);

    QueryRelayPrivate *relay;
    SoupServerMessage *const message;
    // Its handlers answer the request once it goes on, even when the bridge has gone by then.
    GUPnPServiceInfo *const service;
    VariableValues *const values;
    // By the rank of each query's answer.
    QHash<quint64, Query> queries;
    GSource *hangUpWatch = nullptr;
    bool paused = true;
};

} // namespace

class QueryRelayPrivate
{
public:
    static void onRequestStarted(SoupServer *, SoupServerMessage *message, gpointer self);
    static void onGotHeaders(SoupServerMessage *message, gpointer relay);
    void consider(SoupServerMessage *message);

    QueryRelay *q = nullptr;
    TmService *bridge = nullptr;
    SoupServer *server = nullptr;
    RelayedService services[2];
    QSet<HeldRequest *> held;
};

HeldRequest::HeldRequest(
    QueryRelayPrivate *relay, SoupServerMessage *message, const RelayedService &relayed, TmService *bridge)
    : relay(relay)
    , message(SOUP_SERVER_MESSAGE(g_object_ref(message)))
    , service(GUPNP_SERVICE_INFO(g_object_ref(relayed.info)))
    , values(VariableValues::of(relayed.info))
{
    relay->held.insert(this);
    // GUPnP's handler runs in libsoup's own "got-body" handler, which comes before this one.
    g_signal_connect(message, "got-body", G_CALLBACK(onDone), this);
    g_signal_connect(message, "finished", G_CALLBACK(onDone), this);
    soup_server_message_pause(message);
    watchForHangUp();
    for (const QueryRoute &route : queryRoutes) {
        if (route.service == relayed.which)
            ask(TmServicePrivate::get(bridge)->backend, route);
    }
    if (queries.isEmpty())
        goOn();
}

HeldRequest::~HeldRequest()
{
    if (relay)
        relay->held.remove(this);
    stopWatchingHangUp();
    cancelQueries();
    g_signal_handlers_disconnect_by_data(message, this);
    g_object_unref(message);
    g_object_unref(service);
}

void HeldRequest::ask(BusClient &backend, const QueryRoute &route)
{
    const quint64 rank = values->queryLeaves();
    BusCall *call = backend.call(*route.method, {}, [this, rank](sd_bus_message *reply) { takeAnswer(rank, reply); });
    if (call)
        queries.insert(rank, Query {&route, call});
    else
        values->offer(route.variable, QString(), rank);
}

void HeldRequest::takeAnswer(quint64 rank, sd_bus_message *reply)
{
    const QueryRoute *route = queries.take(rank).route;
    // Any failure gives the empty string: a query has no way to report an error.
    const char *text = nullptr;
    const bool answered = !sd_bus_message_is_method_error(reply, nullptr)
        && sd_bus_message_has_signature(reply, route->method->outSignature)
        && sd_bus_message_read_basic(reply, 's', &text) > 0;
    values->offer(route->variable, answered ? QString::fromUtf8(text) : QString(), rank);
    if (queries.isEmpty())
        goOn();
}

void HeldRequest::cancelQueries()
{
    for (const Query &query : std::exchange(queries, {}))
        delete query.call;
}

void HeldRequest::abandon()
{
    relay = nullptr;
    for (auto query = queries.constBegin(); query != queries.constEnd(); ++query)
        values->offer(query->route->variable, QString(), query.key());
    cancelQueries();
    goOn();
}

void HeldRequest::goOn()
{
    if (!paused)
        return;
    paused = false;
    stopWatchingHangUp();
    soup_server_message_unpause(message);
}

// The head unit hung up: no answer is awaited, and GUPnP must not act on the request.
void HeldRequest::drop()
{
    cancelQueries();
    soup_server_message_set_status(message, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(message), "Connection", "close");
    goOn();
}

// libsoup reads nothing from a paused request, so it would not see the head unit hang up.
void HeldRequest::watchForHangUp()
{
    GSocket *socket = soup_server_message_get_socket(message);
    if (!socket)
        return;
    hangUpWatch = g_socket_create_source(socket, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
    g_source_set_callback(hangUpWatch, G_SOURCE_FUNC(onSocketEvent), this, nullptr);
    g_source_attach(hangUpWatch, nullptr);
}

void HeldRequest::stopWatchingHangUp()
{
    if (!hangUpWatch)
        return;
    g_source_destroy(hangUpWatch);
    g_source_unref(hangUpWatch);
    hangUpWatch = nullptr;
}

// Readable with nothing to read is the end of the stream. Bytes of the body are libsoup's to read;
// the call timeout still bounds the hold.
gboolean HeldRequest::onSocketEvent(GSocket *socket, GIOCondition, gpointer self)
{
    auto *request = static_cast<HeldRequest *>(self);
    request->stopWatchingHangUp();
    if (g_socket_get_available_bytes(socket) <= 0)
        request->drop();
    return G_SOURCE_REMOVE;
}

void HeldRequest::onDone(SoupServerMessage *, gpointer self)
{
    delete static_cast<HeldRequest *>(self);
}

void QueryRelayPrivate::onRequestStarted(SoupServer *, SoupServerMessage *message, gpointer self)
{
    // After every other handler: a request that screening has already turned away is left alone.
    g_signal_connect_data(
        message, "got-headers", G_CALLBACK(onGotHeaders),
        new QPointer<QueryRelay>(static_cast<QueryRelayPrivate *>(self)->q),
        [](gpointer relay, GClosure *) { delete static_cast<QPointer<QueryRelay> *>(relay); }, G_CONNECT_AFTER);
}

void QueryRelayPrivate::onGotHeaders(SoupServerMessage *message, gpointer relay)
{
    QueryRelay *live = *static_cast<QPointer<QueryRelay> *>(relay);
    if (live && soup_server_message_get_status(message) == 0)
        live->d->consider(message);
}

void QueryRelayPrivate::consider(SoupServerMessage *message)
{
    const char *path = g_uri_get_path(soup_server_message_get_uri(message));
    for (const RelayedService &service : services) {
        if (!needsValues(message, path, service))
            continue;
        // Without the bus no query can be made, and GUPnP gets no value, as from a failed guard.
        if (TmServicePrivate::get(bridge)->backend.isConnected())
            new HeldRequest(this, message, service, bridge);
        else
            VariableValues::of(service.info)->forget();
        return;
    }
}

QueryRelay::QueryRelay(TmService *bridge, GUPnPServiceInfo *applicationServer, GUPnPServiceInfo *clientProfile)
    : d(new QueryRelayPrivate)
{
    d->q = this;
    d->bridge = bridge;
    d->services[0] = relayedService(applicationServer, Service::ApplicationServer);
    d->services[1] = relayedService(clientProfile, Service::ClientProfile);
    d->server = SOUP_SERVER(g_object_ref(gupnp_context_get_server(gupnp_service_info_get_context(applicationServer))));
    g_signal_connect(d->server, "request-started", G_CALLBACK(QueryRelayPrivate::onRequestStarted), d);
    // GUPnP calls only handlers connected to the detailed signal. The values live with the service.
    for (const QueryRoute &route : queryRoutes) {
        GUPnPServiceInfo *service = route.service == Service::ApplicationServer ? applicationServer : clientProfile;
        const QByteArray signal = QByteArrayLiteral("query-variable::") + route.variable;
        g_signal_connect_data(service, signal.constData(), G_CALLBACK(onQueryVariable), VariableValues::of(service),
            nullptr, GConnectFlags(0));
    }
}

QueryRelay::~QueryRelay()
{
    g_signal_handlers_disconnect_by_data(d->server, d);
    g_object_unref(d->server);
    for (HeldRequest *request : std::exchange(d->held, {}))
        request->abandon();
    delete d;
}

void QueryRelay::recordChange(GUPnPServiceInfo *service, const char *variable, const QString &value)
{
    VariableValues::of(service)->change(variable, value);
}
