#include "bridge/actionrelay_p.h"

#include "bridge/tmservice_p.h"
#include "bridge/upnperrortext.h"
#include "bridge/xmlvalue.h"
#include "platform/tmserver_debug.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <utility>

namespace
{

void setOutArgument(GUPnPServiceAction *action, const char *name, const char *text)
{
    qCDebug(lcBridge, "Sending action result : %s='%s'", name, text);
    gupnp_service_action_set(action, name, G_TYPE_STRING, text, nullptr);
}

void setOutArgument(GUPnPServiceAction *action, const char *name, uint32_t value)
{
    qCDebug(lcBridge, "Sending action result : %s='%u'", name, value);
    gupnp_service_action_set(action, name, G_TYPE_UINT, guint(value), nullptr);
}

} // namespace

void answerUnavailable(GUPnPServiceAction *action)
{
    // Without a description GUPnP sends its own, which it has for 401, 402, 403 and 501 only.
    gupnp_service_action_return_error(action, GUPNP_CONTROL_ERROR_ACTION_FAILED, nullptr);
}

void sendActionResult(
    sd_bus_message *reply, const BusMethod &method, GUPnPServiceAction *action, const char *outArgument)
{
    const std::optional<BusRecord> record = readRecord(reply, method);
    if (!record) {
        qCDebug(lcBridge, "Action failed : %s", qPrintable(busErrorText(reply)));
        answerUnavailable(action);
        return;
    }
    const BusRecord &result = *record;
    if (result.errorCode != 0) {
        const QByteArray description = upnpErrorText(result.errorCode, QString::fromUtf8(result.errorText)).toUtf8();
        const QByteArray carried
            = XmlValue::fromBackend("errorDescription", description.constData()).value_or(QByteArray());
        qCDebug(lcBridge, "Sending action result : %d='%s'", result.errorCode, carried.constData());
        gupnp_service_action_return_error(action, guint(result.errorCode), carried.constData());
        return;
    }
    const std::optional<QByteArray> text
        = result.text ? XmlValue::fromBackend(outArgument, result.text) : std::optional<QByteArray>();
    if (result.text && !text) {
        answerUnavailable(action);
        return;
    }
    if (text)
        setOutArgument(action, outArgument, text->constData());
    else
        setOutArgument(action, outArgument, result.number);
    gupnp_service_action_return_success(action);
}

void TmServicePrivate::relayAction(GUPnPServiceAction *action, const BusMethod &method,
    const std::vector<BusArgument> &arguments, const char *outArgument)
{
    std::unique_ptr<BusCall> call
        = backend.call(method, arguments, [this, action](sd_bus_message *reply) { answerFinishedCall(action, reply); });
    if (!call) {
        answerUnavailable(action);
        return;
    }
    pendingActions.emplace(action, PendingAction {std::move(call), &method, outArgument});
}

void TmServicePrivate::answerFinishedCall(GUPnPServiceAction *action, sd_bus_message *reply)
{
    const auto pending = pendingActions.find(action);
    if (pending == pendingActions.end())
        return;
    const PendingAction finished = std::move(pending->second);
    pendingActions.erase(pending);
    sendActionResult(reply, *finished.method, action, finished.outArgument);
}

void TmServicePrivate::abandonPendingActions()
{
    // Destroying the calls cancels them.
    for (auto &pending : std::exchange(pendingActions, {}))
        answerUnavailable(pending.first);
}
