#include "platform/stacklog.h"

#include <glib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

// The first byte is the length bound, the rest the library's text (up to its first NUL).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t maxLength = data[0];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string line = StackLog::printable(text.c_str(), maxLength);
    if (line.size() > maxLength || !g_utf8_validate(line.data(), gssize(line.size()), nullptr))
        std::abort();
    for (const unsigned char byte : line) {
        if (byte < 0x20 || byte == 0x7f)
            std::abort();
    }
    // Plain text that fits comes out unchanged.
    const size_t length = std::strlen(text.c_str());
    const bool plain
        = std::all_of(text.c_str(), text.c_str() + length, [](char c) { return c >= 0x20 && c < 0x7f && c != '\\'; });
    if (plain && length <= maxLength && line != text.c_str())
        std::abort();
    return 0;
}
