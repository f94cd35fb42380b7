#pragma once

#include <QByteArray>

#include <optional>

// The back-end's values go into XML that a head unit parses: a NOTIFY or a SOAP answer. The
// back-end is not trusted to keep to what XML can carry.
namespace XmlValue
{

// Far beyond any real application list.
constexpr size_t maxBytes = 1024 * 1024;

// The value, as UTF-8 that XML 1.0 can carry: bytes that are not UTF-8 and characters that XML
// cannot hold become U+FFFD. None past maxBytes. Either is logged, in a line that names the value
// and not its text, and ever more rarely while it recurs.
std::optional<QByteArray> fromBackend(const char *name, const char *utf8);

} // namespace XmlValue
