#include "bridge/upnperrortext.h"

#include <QHash>
#include <QObject>

namespace
{

// The standard descriptions, in the order they are filled in; translated when the table is filled.
const struct {
    int code;
    const char *text;
} standardTextSources[] = {
    {401, QT_TRANSLATE_NOOP("QObject", "No action by that name at this service.")},
    {402,
        QT_TRANSLATE_NOOP("QObject",
            "Could be any of the following: not enough in args, args in the wrong order, one or more in args are of "
            "the wrong data type.")},
    {501, QT_TRANSLATE_NOOP("QObject", "MAY be returned if current state of service prevents invoking that action.")},
    {600, QT_TRANSLATE_NOOP("QObject", "The argument value is invalid")},
    {601,
        QT_TRANSLATE_NOOP("QObject",
            "An argument value is less than the minimum or more than the maximum value of the allowed value range, or "
            "is not in the allowed value list.")},
    {602, QT_TRANSLATE_NOOP("QObject", "The requested action is optional and is not implemented by the device.")},
    {603,
        QT_TRANSLATE_NOOP("QObject",
            "The device does not have sufficient memory available to complete the action. This MAY be a temporary "
            "condition")},
    {604,
        QT_TRANSLATE_NOOP("QObject",
            "The device has encountered an error condition which it cannot resolve itself and required human "
            "intervention such as a reset or power cycle. See the device display or documentation for further "
            "guidance.")},
    {605, QT_TRANSLATE_NOOP("QObject", "A string argument is too long for the device to handle properly.")},
    {701, QT_TRANSLATE_NOOP("QObject", "The service has rejected the operation.")},
    {810, QT_TRANSLATE_NOOP("QObject", "The AppId does not exist or is malformed.")},
    {811,
        QT_TRANSLATE_NOOP(
            "QObject", "The application identified by this AppId cannot be controlled or accessed remotely.")},
    {812, QT_TRANSLATE_NOOP("QObject", "The status of the specified application(s) cannot be determined.")},
    {813, QT_TRANSLATE_NOOP("QObject", "Failed to launch the application.")},
    {814,
        QT_TRANSLATE_NOOP("QObject",
            "The requested application resource is busy, This error can occur when the resource is already busy and "
            "resourceStatus in the AppListing is set equal to NA.")},
    {815,
        QT_TRANSLATE_NOOP("QObject",
            "The action cannot be processed as the device hosting the service is locked. User needs to un-lock the "
            "device first.")},
    {820, QT_TRANSLATE_NOOP("QObject", "The argument passed is invalid.")},
    {825, QT_TRANSLATE_NOOP("QObject", "The clientProfile argument passed does not conform to XML specifications.")},
    {830,
        QT_TRANSLATE_NOOP("QObject",
            "The profile identifier does not exist or the application cannot use the specified profile identifier.")},
};

void fillStandardTexts(QHash<int, QString> &texts)
{
    for (const auto &source : standardTextSources)
        texts.insert(source.code, QObject::tr(source.text));
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
