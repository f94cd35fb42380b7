#include "platform/systembus.h"

#include <glib.h>
#include <systemd/sd-bus.h>

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

SystemBusReply errorReply(const char *name)
{
    SystemBusReply reply;
    reply.error = QString::fromLatin1(name);
    return reply;
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
    sd_bus_message *awaitReply(sd_bus_message *request, uint64_t timeoutUsec);

    sd_bus *bus = nullptr;
};

// sd_bus_call would wait without bound for a bus that accepts the connection but never
// authenticates it; here the one bound covers the connection's set-up too.
sd_bus_message *SystemBusPrivate::awaitReply(sd_bus_message *request, uint64_t timeoutUsec)
{
    sd_bus_message *reply = nullptr;
    sd_bus_slot *slot = nullptr;
    if (sd_bus_call_async(bus, &slot, request, keepReply, &reply, timeoutUsec) < 0)
        return nullptr;
    const gint64 deadline = g_get_monotonic_time() + gint64(timeoutUsec);
    while (!reply) {
        const int processed = sd_bus_process(bus, nullptr);
        if (processed > 0)
            continue;
        const gint64 left = deadline - g_get_monotonic_time();
        if (processed < 0 || left <= 0 || sd_bus_wait(bus, uint64_t(left)) < 0)
            break;
    }
    sd_bus_slot_unref(slot);
    // A bus that has not even taken the connection in time will not answer the next call either.
    if (!reply && sd_bus_is_ready(bus) <= 0)
        bus = sd_bus_close_unref(bus);
    return reply;
}

SystemBus::SystemBus()
    : d(new SystemBusPrivate)
{
    if (sd_bus_open_system(&d->bus) < 0)
        d->bus = nullptr;
}

SystemBus::~SystemBus()
{
    sd_bus_close_unref(d->bus);
    delete d;
}

SystemBusReply SystemBus::call(const char *service, const char *path, const char *interface, const char *method,
    const char *argument, int timeoutMsec) const
{
    if (timeoutMsec <= 0)
        return errorReply(noReplyError);
    if (!d->bus)
        return errorReply(disconnectedError);
    sd_bus_message *request = nullptr;
    if (sd_bus_message_new_method_call(d->bus, &request, service, path, interface, method) < 0
        || (argument && sd_bus_message_append(request, "s", argument) < 0)) {
        sd_bus_message_unref(request);
        return errorReply(disconnectedError);
    }
    sd_bus_message *message = d->awaitReply(request, uint64_t(timeoutMsec) * 1000);
    sd_bus_message_unref(request);
    SystemBusReply reply;
    if (!message)
        reply = errorReply(noReplyError);
    else if (sd_bus_message_is_method_error(message, nullptr))
        reply = errorReply(sd_bus_message_get_error(message)->name);
    else if (!readReply(message, &reply))
        reply = errorReply(invalidSignatureError);
    sd_bus_message_unref(message);
    return reply;
}
