#pragma once

#include <QMetaType>
#include <QString>

class QDBusArgument;

// Replies of the back-end's action methods. errorCode 0 means success; any other
// value is a UPnP error code that goes to the head unit unchanged.
namespace UpnpResult
{

struct String {
    QString value;
    int errorCode = 0;
    QString errorText;
};

struct uint32 {
    quint32 value = 0;
    int errorCode = 0;
    QString errorText;
};

// Registers both records with Qt's meta-type system and QtDBus; call once before any proxy exists.
void registerUpnpResults();

} // namespace UpnpResult

QDBusArgument &operator<<(QDBusArgument &argument, const UpnpResult::String &result);
const QDBusArgument &operator>>(const QDBusArgument &argument, UpnpResult::String &result);
QDBusArgument &operator<<(QDBusArgument &argument, const UpnpResult::uint32 &result);
const QDBusArgument &operator>>(const QDBusArgument &argument, UpnpResult::uint32 &result);

Q_DECLARE_METATYPE(UpnpResult::String)
Q_DECLARE_METATYPE(UpnpResult::uint32)
