#include "bridge/xmlvalue.h"
#include "platform/stacklog.h"
#include "tests/tables/table.h"

namespace
{

const std::string replaced = "\xEF\xBF\xBD";

void backendValues()
{
    const struct {
        const char *row;
        std::string value, carried;
    } rows[] = {
        {"plain text with tab, LF and CR", "a\tb\nc\r", "a\tb\nc\r"},
        {"accents and U+10000", "\xC3\xA9\xF0\x90\x80\x80", "\xC3\xA9\xF0\x90\x80\x80"},
        {"U+FFFD stays", replaced, replaced},
        {"control characters", "a\x01\x1b", "a" + replaced + replaced},
        {"noncharacter U+FFFE", "\xEF\xBF\xBE", replaced},
        {"noncharacter U+FFFF", "\xEF\xBF\xBFz", replaced + "z"},
        {"encoded surrogate, byte by byte", "\xED\xA0\x80", replaced + replaced + replaced},
        {"byte that starts no character", "a\xFFz", "a" + replaced + "z"},
        {"character cut short at the end", "a\xE2\x82", "a" + replaced + replaced},
    };
    for (const auto &row : rows)
        expect(
            row.row, XmlValue::fromBackend("Value", row.value.c_str()), std::optional<QByteArray>(row.carried.c_str()));
    const std::string largest(XmlValue::maxBytes, 'x');
    expect("1 MiB", XmlValue::fromBackend("Value", largest.c_str()).has_value(), true);
    expect("1 MiB and a byte", XmlValue::fromBackend("Value", (largest + "x").c_str()).has_value(), false);
}

void logLines()
{
    const struct {
        const char *row, *text;
        size_t maxLength;
        std::string line;
    } rows[] = {
        {"plain", "abc", 160, "abc"},
        {"backslash", "a\\b", 160, "a\\\\b"},
        {"control and DEL", "a\x1b\x7f", 160, "a\\x1b\\x7f"},
        {"byte that is not UTF-8", "\xFF", 160, "\\xff"},
        {"exactly at the bound", "abcde", 5, "abcde"},
        {"an escape past the bound", "abcd\x01", 5, "abcd"},
        {"a character past the bound", "abc\xC3\xA9", 4, "abc"},
    };
    for (const auto &row : rows)
        expect(row.row, StackLog::printable(row.text, row.maxLength), row.line);
    int admitted = 0;
    while (admitted < 100 && StackLog::admit())
        ++admitted;
    expect("lines admitted in a second", admitted, 10);
}

} // namespace

int main()
{
    backendValues();
    logLines();
    return failedRows;
}
