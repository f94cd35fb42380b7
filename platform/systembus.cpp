#include "platform/systembus.h"

#include "platform/cleanup.h"
#include "platform/stacklog.h"
#include "platform/tmserver_debug.h"

#include <glib.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace
{

const char noReplyError[] = "org.freedesktop.DBus.Error.NoReply";
const char invalidSignatureError[] = "org.freedesktop.DBus.Error.InvalidSignature";
const char disconnectedError[] = "org.freedesktop.DBus.Error.Disconnected";

// A dictionary whose keys are of keyType (s or o); readValue(key) reads each value and keeps it.
template <typename ReadValue>
bool readDictionary(sd_bus_message *message, char keyType, const char *valueSignature, ReadValue readValue)
{
    const std::string entry = keyType + std::string(valueSignature);
    if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, ('{' + entry + '}').c_str()) < 0)
        return false;
    while (sd_bus_message_at_end(message, false) == 0) {
        const char *key = nullptr;
        if (sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, entry.c_str()) <= 0
            || sd_bus_message_read_basic(message, keyType, &key) < 0 || !readValue(QString::fromUtf8(key))
            || sd_bus_message_exit_container(message) < 0)
            return false;
    }
    return sd_bus_message_exit_container(message) >= 0;
}

// Values of other types than string are skipped.
bool readProperties(sd_bus_message *message, QVariantMap *properties)
{
    return readDictionary(message, 's', "v", [=](const QString &name) {
        const char *contents = nullptr;
        if (sd_bus_message_peek_type(message, nullptr, &contents) < 0)
            return false;
        if (std::strcmp(contents, "s") != 0)
            return sd_bus_message_skip(message, "v") >= 0;
        const char *value = nullptr;
        if (sd_bus_message_read(message, "v", "s", &value) < 0)
            return false;
        properties->insert(name, QString::fromUtf8(value));
        return true;
    });
}

bool readInterfaces(sd_bus_message *message, InterfaceProperties *interfaces)
{
    return readDictionary(
        message, 's', "a{sv}", [=](const QString &name) { return readProperties(message, &(*interfaces)[name]); });
}

bool readObjects(sd_bus_message *message, ManagedObjects *objects)
{
    return readDictionary(
        message, 'o', "a{sa{sv}}", [=](const QString &path) { return readInterfaces(message, &(*objects)[path]); });
}

bool readReply(sd_bus_message *message, SystemBusReply *reply)
{
    const char *signature = sd_bus_message_get_signature(message, true);
    if (std::strcmp(signature, "o") == 0) {
        const char *path = nullptr;
        if (sd_bus_message_read(message, "o", &path) < 0)
            return false;
        reply->objectPath = QString::fromUtf8(path);
        return true;
    }
    if (std::strcmp(signature, "a{sv}") == 0)
        return readProperties(message, &reply->properties);
    return std::strcmp(signature, "a{oa{sa{sv}}}") == 0 && readObjects(message, &reply->objects);
}

SystemBusReply errorReply(const char *name, const QString &message)
{
    SystemBusReply reply;
    reply.error = QString::fromLatin1(name);
    reply.errorMessage = message;
    return reply;
}

QString failure(const char *what, int error)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(-error)));
}

int keepReply(sd_bus_message *message, void *userdata, sd_bus_error *)
{
    *static_cast<sd_bus_message **>(userdata) = sd_bus_message_ref(message);
    return 1;
}

} // namespace

class SystemBusPrivate
{
public:
    SystemBusPrivate() = default;
    ~SystemBusPrivate()
    {
        sd_bus_close_unref(bus);
    }
    SystemBusPrivate(const SystemBusPrivate &) = delete;
    SystemBusPrivate &operator=(const SystemBusPrivate &) = delete;

    int awaitReply(sd_bus_message *request, uint64_t timeoutUsec, sd_bus_message **reply);
    SystemBusReply call(const char *service, const char *path, const char *interface, const char *method,
        const char *argument, int timeoutMsec);

    sd_bus *bus = nullptr;
    // Why there is no bus, once there is none.
    QString lost;
};

// sd_bus_call would wait without bound for a bus that accepts the connection but never
// authenticates it; here the one bound covers the connection's set-up too. A negative errno when
// no reply came.
int SystemBusPrivate::awaitReply(sd_bus_message *request, uint64_t timeoutUsec, sd_bus_message **reply)
{
    TM_CLEANUP(sd_bus_slot_unrefp) sd_bus_slot *slot = nullptr;
    int result = sd_bus_call_async(bus, &slot, request, keepReply, reply, timeoutUsec);
    const gint64 deadline = g_get_monotonic_time() + gint64(timeoutUsec);
    while (result >= 0 && !*reply) {
        if ((result = sd_bus_process(bus, nullptr)) != 0)
            continue;
        const gint64 left = deadline - g_get_monotonic_time();
        result = left > 0 ? sd_bus_wait(bus, uint64_t(left)) : -ETIMEDOUT;
    }
    if (*reply)
        return 0;
    // A bus that has not even taken the connection in time will not answer the next call either.
    if (sd_bus_is_ready(bus) <= 0) {
        bus = sd_bus_close_unref(bus);
        lost = failure("the system bus did not take the connection", result);
    }
    return result;
}

SystemBusReply SystemBusPrivate::call(const char *service, const char *path, const char *interface, const char *method,
    const char *argument, int timeoutMsec)
{
    if (timeoutMsec <= 0)
        return errorReply(noReplyError, QStringLiteral("no time left"));
    if (!bus)
        return errorReply(disconnectedError, lost);
    TM_CLEANUP(sd_bus_message_unrefp) sd_bus_message *request = nullptr;
    int result = sd_bus_message_new_method_call(bus, &request, service, path, interface, method);
    if (result >= 0 && argument)
        result = sd_bus_message_append(request, "s", argument);
    if (result < 0)
        return errorReply(disconnectedError, failure("cannot make the call", result));
    TM_CLEANUP(sd_bus_message_unrefp) sd_bus_message *message = nullptr;
    if ((result = awaitReply(request, uint64_t(timeoutMsec) * 1000, &message)) < 0)
        return errorReply(noReplyError, failure("no reply", result));
    if (const sd_bus_error *error = sd_bus_message_get_error(message))
        return errorReply(error->name, QString::fromUtf8(error->message));
    SystemBusReply reply;
    if (!readReply(message, &reply))
        return errorReply(invalidSignatureError,
            QStringLiteral("a reply of signature %1").arg(QLatin1String(sd_bus_message_get_signature(message, true))));
    return reply;
}

SystemBus::SystemBus()
    : d(std::make_unique<SystemBusPrivate>())
{
    if (const int error = sd_bus_open_system(&d->bus); error < 0) {
        d->bus = nullptr;
        d->lost = failure("cannot connect to the system bus", error);
    }
}

SystemBus::~SystemBus() = default;

// Every service asked may be missing from a handset: the failures are logged at debug level only,
// each on one line (a service's error text may run over many, a Python mock's traceback does).
SystemBusReply SystemBus::call(const char *service, const char *path, const char *interface, const char *method,
    const char *argument, int timeoutMsec) const
{
    SystemBusReply reply = d->call(service, path, interface, method, argument, timeoutMsec);
    if (!reply.error.isEmpty())
        qCDebug(lcPlatform, "%s.%s of %s: %s (%s)", interface, method, service, qUtf8Printable(reply.error),
            StackLog::printable(qUtf8Printable(reply.errorMessage)).c_str());
    return reply;
}
