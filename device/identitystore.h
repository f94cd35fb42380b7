#pragma once

#include <QMap>
#include <QString>

// Where the handset's identity is kept across starts: written back into the description
// template when the file system lets the daemon write it, otherwise in a state file of its own.
namespace IdentityStore
{

// Replaces the file at path by text: through a file beside it and a rename when its directory
// is writable, else over the file itself. On failure, reason says why.
bool writeBack(const QByteArray &text, const QString &path, QString *reason);

// Removes what an interrupted writeBack() left beside path.
void removeInterruptedWriteBacks(const QString &path);

// The state file: in $STATE_DIRECTORY (systemd's StateDirectory=), else in tmserverd/ under
// $XDG_STATE_HOME, else under ~/.local/state.
QString stateFilePath();

// The identity kept in the state file, by name; empty when there is none.
QMap<QString, QString> keptIdentity();

// Keeps the identity in the state file; on failure, reason says why.
bool keepIdentity(const QMap<QString, QString> &identity, QString *reason);

} // namespace IdentityStore
