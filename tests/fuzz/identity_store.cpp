#include "device/identitystore.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

// The input is the state file as a previous start (or anything else) left it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir stateDirectory;
    static const bool environment = qputenv("STATE_DIRECTORY", stateDirectory.path().toUtf8());
    QFile file(IdentityStore::stateFilePath());
    if (!environment || !file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    // Whatever was read is what the next start reads after keeping it.
    const QMap<QString, QString> kept = IdentityStore::keptIdentity();
    QString reason;
    if (!IdentityStore::keepIdentity(kept, &reason))
        std::abort();
    const QMap<QString, QString> again = IdentityStore::keptIdentity();
    for (auto value = kept.cbegin(); value != kept.cend(); ++value) {
        if (again.value(value.key()) != value.value())
            std::abort();
    }
    return 0;
}
