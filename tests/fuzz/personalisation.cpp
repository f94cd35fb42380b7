#include "device/tmserverdevice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <libxml/xmlerror.h>
#include <libxml/xmlmemory.h>

#include <cstdlib>

struct PersonalisationFuzz {
    // Whether the template has a UDN element, and then whether personalising filled it.
    static bool fillsUdn(TmServerDevice &device)
    {
        device.personaliseDescription();
        xmlNode *udn = device.findNode(QStringLiteral("root/device/UDN"));
        xmlChar *content = udn ? xmlNodeGetContent(udn) : nullptr;
        const bool filled = !udn || (content && *content);
        xmlFree(content);
        return filled;
    }
};

// The input is the description template; no bus answers, as on a handset without its services.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir directory;
    static const bool setUp = [] {
        xmlSetStructuredErrorFunc(nullptr, [](void *, xmlErrorPtr) {});
        return qputenv("DBUS_SYSTEM_BUS_ADDRESS", "none:") && qputenv("STATE_DIRECTORY", directory.path().toUtf8());
    }();
    QFile file(QDir(directory.path()).filePath(QStringLiteral("tmserverdevice.xml")));
    if (!setUp || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();
    TmServerDevice device(directory.path(), nullptr);
    if (!PersonalisationFuzz::fillsUdn(device))
        std::abort();
    return 0;
}
