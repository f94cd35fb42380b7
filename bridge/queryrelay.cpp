#include "bridge/queryrelay_p.h"

#include "bridge/tmservice_p.h"
#include "bridge/xmlvalue.h"
#include "platform/tmserver_debug.h"

#include "upnp/eventpublisher.h"
#include "upnp/httpserverpolicy.h"

#include <QHash>
#include <systemd/sd-bus.h>

#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace
{

using VehiraServer::QueryRoute;
using VehiraServer::Service;

const char valuesKey[] = "tmserver-variable-values";

const QueryRoute *routeOf(const char *variable)
{
    for (const QueryRoute &route : VehiraServer::queryRoutes) {
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

    void offer(const char *variable, const QByteArray &value, quint64 rank)
    {
        Value &known = values[QByteArray(variable)];
        if (rank > known.rank)
            known = Value {value, rank};
    }

    void change(const char *variable, const QByteArray &value)
    {
        offer(variable, value, ++lastRank);
    }

    const QByteArray *find(const char *variable) const
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
        QByteArray text;
        quint64 rank = 0;
    };
    QHash<QByteArray, Value> values;
    quint64 lastRank = 0;
};

// The request was held until the back-end had answered, so the value is at hand: no waiting here.
void onQueryVariable(GUPnPService *, const char *variable, GValue *value, gpointer valuesData)
{
    const QByteArray *known = static_cast<const VariableValues *>(valuesData)->find(variable);
    const QueryRoute *route = routeOf(variable);
    if (!known || !route)
        return;
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, known->constData());
    qCDebug(lcBridge, "%s", qPrintable(QString::fromLatin1(route->debugFormat).arg(QString::fromUtf8(*known))));
}

QByteArray pathOf(char *url)
{
    g_autofree char *owned = url;
    g_autoptr(GUri) uri = owned ? g_uri_parse(owned, G_URI_FLAGS_NONE, nullptr) : nullptr;
    return uri ? QByteArray(g_uri_get_path(uri)) : QByteArray();
}

struct RelayedService {
    GUPnPServiceInfo *info;
    Service which;
    QByteArray controlPath;
    std::string eventPath;
};

RelayedService relayedService(GUPnPServiceInfo *info, Service which)
{
    return RelayedService {info, which, pathOf(gupnp_service_info_get_control_url(info)),
        pathOf(gupnp_service_info_get_event_subscription_url(info)).toStdString()};
}

// The answers of one held request or initial event: every evented variable of its service, asked at
// once, handed over in the order of the routes.
class PendingValues : public ValueFetch
{
public:
    using Ready = std::function<void(EventPublisher::Values)>;
    PendingValues(const RelayedService &relayed, BusClient &backend, Ready ready);
    ~PendingValues() override;
    void abandon() override;
    bool waiting() const
    {
        return !queries.empty();
    }
    EventPublisher::Values answers() const;

private:
    struct Query {
        const QueryRoute *route;
        std::unique_ptr<BusCall> call;
    };
    void ask(BusClient &backend, const QueryRoute &route);
    void takeAnswer(quint64 rank, sd_bus_message *reply);

    // Its handlers answer the request once it goes on, even when the bridge has gone by then.
    GUPnPServiceInfo *const service;
    VariableValues *const values;
    Ready ready;
    const Service which;
    // By the rank of each query's answer.
    std::map<quint64, Query> queries;
};

} // namespace

class QueryRelayPrivate
{
public:
    std::unique_ptr<ValueFetch> fetch(const char *controlPath, std::function<void()> ready);
    std::unique_ptr<ValueFetch> initialValues(const RelayedService &service, PendingValues::Ready ready);

    TmService *bridge = nullptr;
    GUPnPContext *context = nullptr;
    HttpServerPolicy *policy = nullptr;
    // By Service.
    RelayedService services[2];
};

PendingValues::PendingValues(const RelayedService &relayed, BusClient &backend, Ready ready)
    : service(GUPNP_SERVICE_INFO(g_object_ref(relayed.info)))
    , values(VariableValues::of(relayed.info))
    , ready(std::move(ready))
    , which(relayed.which)
{
    for (const QueryRoute &route : VehiraServer::queryRoutes) {
        if (route.service == relayed.which)
            ask(backend, route);
    }
}

// The queries go with the object, and destroying their calls cancels them.
PendingValues::~PendingValues()
{
    g_object_unref(service);
}

void PendingValues::ask(BusClient &backend, const QueryRoute &route)
{
    const quint64 rank = values->queryLeaves();
    std::unique_ptr<BusCall> call
        = backend.call(*route.method, {}, [this, rank](sd_bus_message *reply) { takeAnswer(rank, reply); });
    if (call)
        queries.emplace(rank, Query {&route, std::move(call)});
    else
        values->offer(route.variable, QByteArray(), rank);
}

// As the service's store has them: a change signalled while a query was out wins over its answer.
EventPublisher::Values PendingValues::answers() const
{
    EventPublisher::Values known;
    for (const QueryRoute &route : VehiraServer::queryRoutes) {
        const QByteArray *value = route.service == which ? values->find(route.variable) : nullptr;
        if (value)
            known.emplace_back(route.variable, value->toStdString());
    }
    return known;
}

void PendingValues::takeAnswer(quint64 rank, sd_bus_message *reply)
{
    const auto query = queries.find(rank);
    const QueryRoute *route = query->second.route;
    queries.erase(query);
    // Any failure gives the empty string: a query has no way to report an error.
    const char *text = readString(reply, *route->method);
    const std::optional<QByteArray> carried
        = text ? XmlValue::fromBackend(route->variable, text) : std::optional<QByteArray>();
    values->offer(route->variable, carried.value_or(QByteArray()), rank);
    if (queries.empty())
        ready(answers());
}

// Every answer still missing counts as empty; destroying the calls cancels them.
void PendingValues::abandon()
{
    for (const auto &query : queries)
        values->offer(query.second.route->variable, QByteArray(), query.first);
    queries.clear();
}

std::unique_ptr<ValueFetch> QueryRelayPrivate::fetch(const char *controlPath, std::function<void()> ready)
{
    for (const RelayedService &service : services) {
        if (service.controlPath != controlPath)
            continue;
        BusClient &backend = TmServicePrivate::get(bridge)->backend;
        // Without the bus no query can be made, and GUPnP gets no value, as from a failed call.
        if (!backend.isConnected()) {
            VariableValues::of(service.info)->forget();
            return nullptr;
        }
        auto pending = std::make_unique<PendingValues>(
            service, backend, [ready = std::move(ready)](EventPublisher::Values) { ready(); });
        return pending->waiting() ? std::move(pending) : nullptr;
    }
    return nullptr;
}

// Without the bus, or when no call could be made, every value is the empty string at once.
std::unique_ptr<ValueFetch> QueryRelayPrivate::initialValues(const RelayedService &service, PendingValues::Ready ready)
{
    auto pending = std::make_unique<PendingValues>(service, TmServicePrivate::get(bridge)->backend, ready);
    if (!pending->waiting())
        ready(pending->answers());
    return pending;
}

QueryRelay::QueryRelay(TmService *bridge)
    : d(std::make_unique<QueryRelayPrivate>())
{
    const TmServicePrivate *bridged = TmServicePrivate::get(bridge);
    d->bridge = bridge;
    for (Service service : {Service::ApplicationServer, Service::ClientProfile})
        d->services[int(service)] = relayedService(bridged->serviceOf(service), service);
    d->context = GUPNP_CONTEXT(g_object_ref(gupnp_service_info_get_context(d->services[0].info)));
    d->policy = HttpServerPolicy::of(d->context);
    if (d->policy) {
        QueryRelayPrivate *relay = d.get();
        d->policy->setValueFetcher([relay](const char *controlPath, std::function<void()> ready) {
            return relay->fetch(controlPath, std::move(ready));
        });
        for (const RelayedService &service : d->services)
            d->policy->events().addService(service.eventPath, [relay, &service](PendingValues::Ready ready) {
                return relay->initialValues(service, std::move(ready));
            });
    }
    // GUPnP calls only handlers connected to the detailed signal. The values live with the service.
    for (const QueryRoute &route : VehiraServer::queryRoutes) {
        GUPnPServiceInfo *service = bridged->serviceOf(route.service);
        const QByteArray signal = QByteArrayLiteral("query-variable::") + route.variable;
        g_signal_connect_data(service, signal.constData(), G_CALLBACK(onQueryVariable), VariableValues::of(service),
            nullptr, GConnectFlags(0));
    }
}

QueryRelay::~QueryRelay()
{
    if (d->policy) {
        d->policy->setValueFetcher({});
        for (const RelayedService &service : d->services)
            d->policy->events().removeService(service.eventPath);
    }
    g_object_unref(d->context);
}

void QueryRelay::publishChange(Service service, const char *variable, const QByteArray &value)
{
    const RelayedService &relayed = d->services[int(service)];
    VariableValues::of(relayed.info)->change(variable, value);
    if (d->policy)
        d->policy->events().notify(relayed.eventPath, variable, value.toStdString());
}
