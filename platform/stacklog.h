#pragma once

#include <string>

// The libraries' messages (GLib domains and libxml2's parser) echo bytes of whatever a head unit
// sent. They reach the log escaped, bounded in length and rate-limited: at most a few lines a
// second, then one line that says how many were dropped. The parser's messages about one request
// (one pass of the event loop) become one line.
namespace StackLog
{

// With the priority, the domain and the words around it, a line stays within 200 characters.
constexpr size_t maxEchoLength = 160;

// Routes libxml2's parser messages here.
void installXmlErrorHandler();

// Whether one more library line may be written now; counts the line as dropped otherwise.
bool admit();

// At most maxLength bytes of text, whole characters only: control bytes, backslashes and bytes
// that are not UTF-8 become \xNN (or \\) escapes.
std::string printable(const char *text, size_t maxLength = maxEchoLength);

} // namespace StackLog
