#include "backend/busclient.h"

#include "platform/cleanup.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <glib.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>

Q_LOGGING_CATEGORY(lcBackend, "tmserver.backend", QtInfoMsg)

namespace
{

// Messages handled in one pass of the loop, so that a flood from the bus holds up nothing else;
// sd-bus reports a zero timeout while more are queued, so the next pass goes on.
const int messagesPerPass = 64;

// The sd-bus connection's descriptor and timeout, watched by GLib's default main context.
struct BusSource {
    GSource source;
    sd_bus *bus;
    gpointer descriptor;
    int events;
};

// Changing what GLib polls wakes the context up, so only a change is passed on.
void watchEvents(BusSource *busSource)
{
    const int events = std::max(sd_bus_get_events(busSource->bus), 0);
    if (events == busSource->events)
        return;
    busSource->events = events;
    g_source_modify_unix_fd(&busSource->source, busSource->descriptor, GIOCondition(events));
}

// Microseconds until sd-bus has work of its own (a call timing out, a message already read);
// -1 for none. Both clocks are CLOCK_MONOTONIC.
gint64 timeToWork(sd_bus *bus)
{
    uint64_t deadline = UINT64_MAX;
    if (sd_bus_get_timeout(bus, &deadline) <= 0 || deadline == UINT64_MAX)
        return -1;
    return std::max<gint64>(gint64(deadline) - g_get_monotonic_time(), 0);
}

gboolean prepareBusSource(GSource *source, gint *timeout)
{
    auto *busSource = reinterpret_cast<BusSource *>(source);
    watchEvents(busSource);
    const gint64 waitUsec = timeToWork(busSource->bus);
    *timeout = waitUsec < 0 ? -1 : gint((waitUsec + 999) / 1000);
    return waitUsec == 0;
}

gboolean checkBusSource(GSource *source)
{
    auto *busSource = reinterpret_cast<BusSource *>(source);
    return g_source_query_unix_fd(source, busSource->descriptor) != 0 || timeToWork(busSource->bus) == 0;
}

gboolean dispatchBusSource(GSource *source, GSourceFunc, gpointer)
{
    sd_bus *bus = reinterpret_cast<BusSource *>(source)->bus;
    for (int pass = 0; pass < messagesPerPass && sd_bus_process(bus, nullptr) > 0; ++pass) { }
    // Once closed (every call under way has had its error), the descriptor is gone.
    return sd_bus_get_events(bus) < 0 ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
}

GSourceFuncs busSourceFuncs = {prepareBusSource, checkBusSource, dispatchBusSource, nullptr, nullptr, nullptr};

// The process's one session bus connection, open while any client uses it.
class SessionBus
{
public:
    static std::shared_ptr<SessionBus> shared()
    {
        static std::weak_ptr<SessionBus> current;
        std::shared_ptr<SessionBus> bus = current.lock();
        if (!bus) {
            bus = std::make_shared<SessionBus>();
            current = bus;
        }
        return bus;
    }

    SessionBus()
    {
        if (const int error = sd_bus_open_user(&bus); error < 0) {
            qCWarning(lcBackend, "No session bus (%s): the back-end cannot be reached", std::strerror(-error));
            bus = nullptr;
            return;
        }
        source = g_source_new(&busSourceFuncs, sizeof(BusSource));
        auto *busSource = reinterpret_cast<BusSource *>(source);
        busSource->bus = bus;
        busSource->events = G_IO_IN;
        busSource->descriptor = g_source_add_unix_fd(source, sd_bus_get_fd(bus), G_IO_IN);
        g_source_attach(source, nullptr);
    }

    ~SessionBus()
    {
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        sd_bus_flush_close_unref(bus);
    }

    SessionBus(const SessionBus &) = delete;
    SessionBus &operator=(const SessionBus &) = delete;

    sd_bus *bus = nullptr;
    GSource *source = nullptr;
};

bool appendArguments(sd_bus_message *message, const char *signature, const std::vector<BusArgument> &arguments)
{
    if (std::strlen(signature) != arguments.size())
        return false;
    for (size_t index = 0; index < arguments.size(); ++index) {
        const std::string *text = std::get_if<std::string>(&arguments[index]);
        const uint32_t *number = std::get_if<uint32_t>(&arguments[index]);
        int appended = -EINVAL;
        if (signature[index] == 's' && text)
            appended = sd_bus_message_append_basic(message, 's', text->c_str());
        else if (signature[index] == 'u' && number)
            appended = sd_bus_message_append_basic(message, 'u', number);
        if (appended < 0)
            return false;
    }
    return true;
}

} // namespace

class BusClientPrivate
{
public:
    using MatchHandler = std::function<void(sd_bus_message *)>;

    struct Match {
        Match(const char *name, bool needed, MatchHandler handler)
            : name(name)
            , needed(needed)
            , handler(std::move(handler))
        {
        }
        ~Match()
        {
            sd_bus_slot_unref(slot);
        }
        Match(const Match &) = delete;
        Match &operator=(const Match &) = delete;

        // The signal or name, for the log; a needed match the bus refuses is an error, not a warning.
        const char *name;
        bool needed;
        MatchHandler handler;
        sd_bus_slot *slot = nullptr;
    };

    static int onReply(sd_bus_message *reply, void *callData, sd_bus_error *);
    static int onMatch(sd_bus_message *message, void *matchData, sd_bus_error *);
    static int onMatchInstalled(sd_bus_message *reply, void *matchData, sd_bus_error *);
    static void reportRefused(const Match &match, const char *error, const char *message);
    Match *addMatch(const char *name, bool needed, MatchHandler handler);

    std::shared_ptr<SessionBus> session = SessionBus::shared();
    QByteArray service;
    QByteArray path;
    QByteArray interface;
    uint64_t callTimeoutUsec = 0;
    std::list<Match> matches;
};

// sd-bus holds the slot while it runs the callback, and the handler is moved out first: its caller
// may destroy the call from within it.
int BusClientPrivate::onReply(sd_bus_message *reply, void *callData, sd_bus_error *)
{
    const BusClient::ReplyHandler handler = std::move(static_cast<BusCall *>(callData)->handler);
    handler(reply);
    return 0;
}

int BusClientPrivate::onMatch(sd_bus_message *message, void *matchData, sd_bus_error *)
{
    static_cast<Match *>(matchData)->handler(message);
    return 0;
}

// The bus's answer to AddMatch; sd-bus itself only logs it at debug level.
int BusClientPrivate::onMatchInstalled(sd_bus_message *reply, void *matchData, sd_bus_error *)
{
    if (const sd_bus_error *error = sd_bus_message_get_error(reply))
        reportRefused(*static_cast<Match *>(matchData), error->name, error->message);
    return 0;
}

void BusClientPrivate::reportRefused(const Match &match, const char *error, const char *message)
{
    if (match.needed)
        qCCritical(lcBackend,
            "The bus refused to report when %s loses its owner (%s: %s): the daemon cannot tell when "
            "the back-end leaves",
            match.name, error, message);
    else
        qCWarning(lcBackend, "The bus refused the back-end's signal %s (%s: %s): its changes are not evented",
            match.name, error, message);
}

BusClientPrivate::Match *BusClientPrivate::addMatch(const char *name, bool needed, MatchHandler handler)
{
    return &matches.emplace_back(name, needed, std::move(handler));
}

BusClient::BusClient(const char *service, const char *path, const char *interface, uint64_t callTimeoutUsec)
    : d(std::make_unique<BusClientPrivate>())
{
    d->service = service;
    d->path = path;
    d->interface = interface;
    d->callTimeoutUsec = callTimeoutUsec;
}

BusClient::~BusClient() = default;

bool BusClient::isConnected() const
{
    return d->session->bus && sd_bus_is_open(d->session->bus) > 0;
}

std::unique_ptr<BusCall> BusClient::call(
    const BusMethod &method, const std::vector<BusArgument> &arguments, ReplyHandler handler)
{
    TM_CLEANUP(sd_bus_message_unrefp) sd_bus_message *message = nullptr;
    if (!isConnected()
        || sd_bus_message_new_method_call(d->session->bus, &message, d->service.constData(), d->path.constData(),
               d->interface.constData(), method.name)
            < 0)
        return nullptr;
    std::unique_ptr<BusCall> call(new BusCall);
    call->handler = std::move(handler);
    const bool sent = appendArguments(message, method.inSignature, arguments)
        && sd_bus_call_async(
               d->session->bus, &call->slot, message, BusClientPrivate::onReply, call.get(), d->callTimeoutUsec)
            >= 0;
    return sent ? std::move(call) : nullptr;
}

void BusClient::onSignal(const BusSignal &signal, std::function<void(const QString &value)> handler)
{
    if (!isConnected())
        return;
    BusClientPrivate::Match *match
        = d->addMatch(signal.name, false, [handler = std::move(handler)](sd_bus_message *message) {
              const char *value = nullptr;
              if (sd_bus_message_has_signature(message, "s") && sd_bus_message_read_basic(message, 's', &value) > 0)
                  handler(QString::fromUtf8(value));
          });
    if (const int error = sd_bus_match_signal_async(d->session->bus, &match->slot, d->service.constData(),
            d->path.constData(), d->interface.constData(), signal.name, BusClientPrivate::onMatch,
            BusClientPrivate::onMatchInstalled, match);
        error < 0)
        BusClientPrivate::reportRefused(*match, "not sent", std::strerror(-error));
}

void BusClient::onOwnerLost(std::function<void()> handler)
{
    if (!isConnected())
        return;
    BusClientPrivate::Match *match
        = d->addMatch(d->service.constData(), true, [handler = std::move(handler)](sd_bus_message *message) {
              const char *name = nullptr;
              const char *oldOwner = nullptr;
              const char *newOwner = nullptr;
              if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) > 0 && *oldOwner && !*newOwner)
                  handler();
          });
    const QByteArray rule = "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                            "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='"
        + d->service + "'";
    if (const int error = sd_bus_add_match_async(d->session->bus, &match->slot, rule.constData(),
            BusClientPrivate::onMatch, BusClientPrivate::onMatchInstalled, match);
        error < 0)
        BusClientPrivate::reportRefused(*match, "not sent", std::strerror(-error));
}

BusCall::~BusCall()
{
    sd_bus_slot_unref(slot);
}

QString busErrorText(sd_bus_message *reply)
{
    const sd_bus_error *error = sd_bus_message_get_error(reply);
    if (!error)
        return QString();
    return QStringLiteral("%1 '%2'").arg(QString::fromUtf8(error->name), QString::fromUtf8(error->message));
}

std::optional<BusRecord> readRecord(sd_bus_message *reply, const BusMethod &method)
{
    const char *signature = method.outSignature;
    const bool textValue = std::strcmp(signature, "(sis)") == 0;
    if (sd_bus_message_is_method_error(reply, nullptr) || (!textValue && std::strcmp(signature, "(uis)") != 0)
        || !sd_bus_message_has_signature(reply, signature))
        return std::nullopt;
    BusRecord record;
    void *value = textValue ? static_cast<void *>(&record.text) : static_cast<void *>(&record.number);
    if (sd_bus_message_read(reply, signature, value, &record.errorCode, &record.errorText) <= 0)
        return std::nullopt;
    return record;
}

const char *readString(sd_bus_message *reply, const BusMethod &method)
{
    const char *text = nullptr;
    if (sd_bus_message_is_method_error(reply, nullptr) || std::strcmp(method.outSignature, "s") != 0
        || !sd_bus_message_has_signature(reply, "s") || sd_bus_message_read_basic(reply, 's', &text) <= 0)
        return nullptr;
    return text;
}
