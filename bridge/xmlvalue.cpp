#include "bridge/xmlvalue.h"

#include "platform/tmserver_debug.h"

#include <glib.h>

#include <algorithm>
#include <cstring>

namespace
{

const char replacement[] = "\xEF\xBF\xBD";

bool xmlCharacter(gunichar c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
        || (c >= 0x10000 && c <= 0x10FFFF);
}

bool plainText(const char *text, size_t length)
{
    return std::all_of(
        text, text + length, [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r'; });
}

// The 1st, 2nd, 4th, 8th... time: a back-end that keeps sending such values cannot flood the log.
bool worthLogging()
{
    static unsigned long long seen = 0;
    ++seen;
    return (seen & (seen - 1)) == 0;
}

QByteArray carried(const char *text, size_t length, unsigned &replaced)
{
    QByteArray kept;
    kept.reserve(qsizetype(length));
    for (const char *at = text, *end = text + length; at < end;) {
        const gunichar c = g_utf8_get_char_validated(at, end - at);
        // A byte that starts no character is replaced on its own.
        const bool character = c != gunichar(-1) && c != gunichar(-2);
        const char *next = character ? g_utf8_next_char(at) : at + 1;
        if (character && xmlCharacter(c)) {
            kept.append(at, next - at);
        } else {
            kept.append(replacement);
            ++replaced;
        }
        at = next;
    }
    return kept;
}

} // namespace

std::optional<QByteArray> XmlValue::fromBackend(const char *name, const char *utf8)
{
    const size_t length = std::strlen(utf8);
    if (length > maxBytes) {
        if (worthLogging())
            qCWarning(lcBridge, "Back-end value %s refused: %zu bytes", name, length);
        return std::nullopt;
    }
    if (plainText(utf8, length))
        return QByteArray(utf8, qsizetype(length));
    unsigned replaced = 0;
    QByteArray kept = carried(utf8, length, replaced);
    if (replaced && worthLogging())
        qCWarning(lcBridge, "Back-end value %s: %u characters XML cannot carry replaced", name, replaced);
    return kept;
}
