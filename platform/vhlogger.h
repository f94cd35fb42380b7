#pragma once

#include <QtGlobal>
#include <memory>

class QMessageLogContext;
class QString;
class VhLoggerPrivate;

// Process-wide logger: one line per message on stderr, prefixed with its journald
// priority ("<3>" .. "<7>"). Debug output stays off unless QT_LOGGING_RULES enables it.
// GLib's own log domains (gupnp, gssdp, ...) are routed into the same output.
class VhLogger
{
public:
    static VhLogger *instance(int &argc, char **argv);
    // A Qt message handler, for qInstallMessageHandler().
    static void DoOutput(QtMsgType type, const QMessageLogContext &context, const QString &message);

    ~VhLogger();

private:
    VhLogger();
    std::unique_ptr<VhLoggerPrivate> const d;
};
