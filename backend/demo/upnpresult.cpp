#include "backend/demo/upnpresult.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace
{

template <typename Record>
QDBusArgument &writeRecord(QDBusArgument &argument, const Record &result)
{
    argument.beginStructure();
    argument << result.value << result.errorCode << result.errorText;
    argument.endStructure();
    return argument;
}

template <typename Record>
const QDBusArgument &readRecord(const QDBusArgument &argument, Record &result)
{
    argument.beginStructure();
    argument >> result.value >> result.errorCode >> result.errorText;
    argument.endStructure();
    return argument;
}

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const UpnpResult::String &result)
{
    return writeRecord(argument, result);
}

const QDBusArgument &operator>>(const QDBusArgument &argument, UpnpResult::String &result)
{
    return readRecord(argument, result);
}

QDBusArgument &operator<<(QDBusArgument &argument, const UpnpResult::uint32 &result)
{
    return writeRecord(argument, result);
}

const QDBusArgument &operator>>(const QDBusArgument &argument, UpnpResult::uint32 &result)
{
    return readRecord(argument, result);
}

void UpnpResult::registerUpnpResults()
{
    qRegisterMetaType<UpnpResult::String>("UpnpResult::String");
    qRegisterMetaType<UpnpResult::uint32>("UpnpResult::uint32");
    qDBusRegisterMetaType<UpnpResult::String>();
    qDBusRegisterMetaType<UpnpResult::uint32>();
}
