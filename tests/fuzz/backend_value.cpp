#include "bridge/xmlvalue.h"

#include <glib.h>

#include <cstdlib>
#include <string>

// The input is a value the back-end sent (up to its first NUL, as D-Bus strings end there).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string value(reinterpret_cast<const char *>(data), size);
    const std::optional<QByteArray> carried = XmlValue::fromBackend("Value", value.c_str());
    if (!carried)
        return 0;
    if (!g_utf8_validate(carried->constData(), carried->size(), nullptr))
        std::abort();
    for (const char *at = carried->constData(); *at; at = g_utf8_next_char(at)) {
        const gunichar c = g_utf8_get_char(at);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF)
            std::abort();
    }
    return 0;
}
