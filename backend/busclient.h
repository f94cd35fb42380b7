#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

typedef struct sd_bus_message sd_bus_message;
typedef struct sd_bus_slot sd_bus_slot;
class BusCall;
class BusClientPrivate;

// A method or signal of a D-Bus interface, as the contract-to-cpp.py step writes them from the
// introspection XML.
struct BusMethod {
    const char *name;
    const char *inSignature;
    const char *outSignature;
};

struct BusSignal {
    const char *name;
    const char *signature;
};

// An argument of one of the two types the contract's methods take: s (UTF-8) or u.
using BusArgument = std::variant<std::string, uint32_t>;

// One object of one service on the session bus, reached over sd-bus from GLib's default main
// context (the Qt event loop dispatches it): no thread of its own, every callback comes from the
// loop. All clients in the process share one connection.
class BusClient
{
public:
    // The reply or error of a call: the method's reply, an error from the service or the bus,
    // or an error made up locally for a timeout or a lost connection.
    using ReplyHandler = std::function<void(sd_bus_message *reply)>;

    BusClient(const char *service, const char *path, const char *interface, uint64_t callTimeoutUsec);
    // Calls under way are cancelled: their handlers do not run.
    ~BusClient();
    BusClient(const BusClient &) = delete;
    BusClient &operator=(const BusClient &) = delete;

    bool isConnected() const;

    // Sends the call, whose arguments must be of the method's in-signature. The handler runs
    // exactly once, from the loop, unless the call is destroyed before: destroying it cancels it;
    // the caller may destroy it from within the handler. Returns null, without calling the
    // handler, when the call cannot be sent or its arguments do not match the signature.
    std::unique_ptr<BusCall> call(
        const BusMethod &method, const std::vector<BusArgument> &arguments, ReplyHandler handler);

    // The signal's string argument; signals of another signature are ignored. Without a bus
    // connection (it is opened once, with the first client, which warns if it cannot) nothing is
    // subscribed; a subscription the bus refuses is a warning.
    void onSignal(const BusSignal &signal, std::function<void(const QString &value)> handler);

    // The service's name, having had an owner, lost it; as for onSignal without a connection, but
    // a refusal is an error: the loss would go unnoticed.
    void onOwnerLost(std::function<void()> handler);

private:
    std::unique_ptr<BusClientPrivate> const d;
};

// A call under way, owned by its caller (see BusClient::call).
class BusCall
{
public:
    ~BusCall();
    BusCall(const BusCall &) = delete;
    BusCall &operator=(const BusCall &) = delete;

private:
    friend class BusClient;
    friend class BusClientPrivate;
    BusCall() = default;
    sd_bus_slot *slot = nullptr;
    BusClient::ReplyHandler handler;
};

// The error name and message of a failed call, for logs; both empty for a method's reply.
QString busErrorText(sd_bus_message *reply);

// The reply record (value, errorCode, errorText) of a method whose out-signature is (sis) or (uis).
// Its strings live as long as the reply.
struct BusRecord {
    const char *text = nullptr;
    uint32_t number = 0;
    int32_t errorCode = 0;
    const char *errorText = nullptr;
};
// None for an error reply or a reply of another signature than the method's.
std::optional<BusRecord> readRecord(sd_bus_message *reply, const BusMethod &method);
// The string of a method whose out-signature is s; null as for readRecord.
const char *readString(sd_bus_message *reply, const BusMethod &method);
