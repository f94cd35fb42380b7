#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

// Process-wide logger: one line per message on stderr, prefixed with its journald
// priority ("<3>" .. "<7>"). Debug output stays off unless QT_LOGGING_RULES enables it.
// GLib's own log domains (gupnp, gssdp, ...) are routed into the same output.
class VhLogger
{
public:
    // Sets the logger up once; it takes nothing from the command line, which stays as it is.
    static VhLogger *instance(int &argc, char **argv);
    // A Qt message handler, for qInstallMessageHandler().
    static void DoOutput(QtMsgType type, const QMessageLogContext &context, const QString &message);

private:
    VhLogger();
};
