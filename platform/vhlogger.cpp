#include "platform/vhlogger.h"

#include "platform/stacklog.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <QString>
#include <glib.h>

#include <cstdio>
#include <cstdlib>

namespace
{

int journalPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}

void writeLine(int priority, const char *category, const char *message)
{
    std::fprintf(stderr, "<%d>%s: %s\n", priority, category, message);
    std::fflush(stderr);
}

QtMsgType glibLevelToQt(GLogLevelFlags level)
{
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL))
        return QtCriticalMsg;
    if (level & G_LOG_LEVEL_WARNING)
        return QtWarningMsg;
    if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO))
        return QtInfoMsg;
    return QtDebugMsg;
}

const QLoggingCategory &categoryOfDomain(const char *domain)
{
    static const QLoggingCategory gupnp("gupnp", QtInfoMsg);
    static const QLoggingCategory gssdp("gssdp", QtInfoMsg);
    static const QLoggingCategory glib("glib", QtInfoMsg);
    if (domain && g_ascii_strncasecmp(domain, "gupnp", 5) == 0)
        return gupnp;
    if (domain && g_ascii_strncasecmp(domain, "gssdp", 5) == 0)
        return gssdp;
    return glib;
}

// GLib's messages (GUPnP, GSSDP, libsoup) go through Qt's logging, so the same rules filter them,
// bounded like everything the libraries say about what a head unit sent.
GLogWriterOutput glibToQt(GLogLevelFlags level, const GLogField *fields, gsize count, gpointer)
{
    const char *domain = nullptr;
    const char *message = "";
    for (gsize i = 0; i < count; ++i) {
        if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0 && fields[i].length < 0)
            domain = static_cast<const char *>(fields[i].value);
        else if (g_strcmp0(fields[i].key, "MESSAGE") == 0 && fields[i].length < 0)
            message = static_cast<const char *>(fields[i].value);
    }
    const QLoggingCategory &category = categoryOfDomain(domain);
    const QtMsgType type = glibLevelToQt(level);
    if (category.isEnabled(type) && StackLog::admit())
        writeLine(
            journalPriority(type), domain ? domain : category.categoryName(), StackLog::printable(message).c_str());
    return G_LOG_WRITER_HANDLED;
}

} // namespace

VhLogger::VhLogger()
{
    g_log_set_writer_func(glibToQt, nullptr, nullptr);
    StackLog::installXmlErrorHandler();
}

VhLogger *VhLogger::instance(int &, char **)
{
    static VhLogger logger;
    return &logger;
}

void VhLogger::DoOutput(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    writeLine(journalPriority(type), context.category ? context.category : "default", message.toUtf8().constData());
    if (type == QtFatalMsg)
        std::abort();
}
