#include "bridge/upnperrortext.h"

#include <QHash>
#include <QObject>

namespace
{

void fillStandardTexts(QHash<int, QString> &texts)
{
    texts.insert(401, QObject::tr("No action by that name at this service."));
    texts.insert(402,
        QObject::tr("Could be any of the following: not enough in args, args in the wrong order, one or more in args "
                    "are of the wrong data type."));
    texts.insert(501, QObject::tr("MAY be returned if current state of service prevents invoking that action."));
    texts.insert(600, QObject::tr("The argument value is invalid"));
    texts.insert(601,
        QObject::tr("An argument value is less than the minimum or more than the maximum value of the allowed value "
                    "range, or is not in the allowed value list."));
    texts.insert(602, QObject::tr("The requested action is optional and is not implemented by the device."));
    texts.insert(603,
        QObject::tr("The device does not have sufficient memory available to complete the action. This MAY be a "
                    "temporary condition"));
    texts.insert(604,
        QObject::tr("The device has encountered an error condition which it cannot resolve itself and required human "
                    "intervention such as a reset or power cycle. See the device display or documentation for further "
                    "guidance."));
    texts.insert(605, QObject::tr("A string argument is too long for the device to handle properly."));
    texts.insert(701, QObject::tr("The service has rejected the operation."));
    texts.insert(810, QObject::tr("The AppId does not exist or is malformed."));
    texts.insert(
        811, QObject::tr("The application identified by this AppId cannot be controlled or accessed remotely."));
    texts.insert(812, QObject::tr("The status of the specified application(s) cannot be determined."));
    texts.insert(813, QObject::tr("Failed to launch the application."));
    texts.insert(814,
        QObject::tr("The requested application resource is busy, This error can occur when the resource is already "
                    "busy and resourceStatus in the AppListing is set equal to NA."));
    texts.insert(815,
        QObject::tr("The action cannot be processed as the device hosting the service is locked. User needs to "
                    "un-lock the device first."));
    texts.insert(820, QObject::tr("The argument passed is invalid."));
    texts.insert(825, QObject::tr("The clientProfile argument passed does not conform to XML specifications."));
    texts.insert(830,
        QObject::tr("The profile identifier does not exist or the application cannot use the specified profile "
                    "identifier."));
}

} // namespace

QString upnpErrorText(int code, const QString &text)
{
    // Filled at the first lookup that needs it, so the translations installed by then are the ones kept.
    static QHash<int, QString> standardTexts;
    if (!text.isEmpty())
        return text;
    if (!standardTexts.contains(401))
        fillStandardTexts(standardTexts);
    const auto standardText = standardTexts.constFind(code);
    if (standardText != standardTexts.constEnd())
        return *standardText;
    return QStringLiteral("The error code %1 has no known error text").arg(code);
}
