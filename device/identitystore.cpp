#include "device/identitystore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{

// QSaveFile names its file beside the target after it, with six characters of its own.
const char interruptedSuffix[] = ".??????";
const char stateFileName[] = "identity";

bool replaceAtomically(const QByteArray &text, const QString &path, QString *reason)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit())
        return true;
    *reason = file.errorString();
    return false;
}

// Without a writable directory there is no rename: the file is never emptied first, so the old
// document stays whole on disk until the new one has been written over it, and only then is the
// old one's longer tail cut off.
bool overwriteInPlace(const QByteArray &text, const QString &path, QString *reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        *reason = file.errorString();
        return false;
    }
    if (file.write(text) != text.size() || !file.resize(text.size()) || !file.flush()) {
        *reason = file.errorString();
        return false;
    }
    if (fsync(file.handle()) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

bool IdentityStore::writeBack(const QByteArray &text, const QString &path, QString *reason)
{
    if (QFileInfo(QFileInfo(path).absolutePath()).isWritable())
        return replaceAtomically(text, path, reason);
    return overwriteInPlace(text, path, reason);
}

void IdentityStore::removeInterruptedWriteBacks(const QString &path)
{
    const QFileInfo target(path);
    const QDir directory = target.absoluteDir();
    const QStringList leftovers = directory.entryList(
        {target.fileName() + QLatin1String(interruptedSuffix)}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers)
        QFile::remove(directory.filePath(name));
}

QString IdentityStore::stateFilePath()
{
    QString directory = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (directory.isEmpty()) {
        QString base = qEnvironmentVariable("XDG_STATE_HOME");
        if (!QDir::isAbsolutePath(base))
            base = QDir::homePath() + QLatin1String("/.local/state");
        directory = base + QLatin1String("/tmserverd");
    }
    return QDir(directory).filePath(QLatin1String(stateFileName));
}

QMap<QString, QString> IdentityStore::keptIdentity()
{
    const QSettings state(stateFilePath(), QSettings::IniFormat);
    QMap<QString, QString> identity;
    for (const QString &name : state.childKeys())
        identity.insert(name, state.value(name).toString());
    return identity;
}

bool IdentityStore::keepIdentity(const QMap<QString, QString> &identity)
{
    const QString path = stateFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSettings state(path, QSettings::IniFormat);
    for (auto value = identity.cbegin(); value != identity.cend(); ++value)
        state.setValue(value.key(), value.value());
    state.sync();
    return state.status() == QSettings::NoError;
}
