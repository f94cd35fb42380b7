#pragma once

// Routes libxml2's parser messages, which echo bytes of whatever a head unit sent, into the
// log: at most one line for the messages of one request (one pass of the event loop), escaped
// and bounded in length, and at most a few lines a second, with a count of what was dropped.
namespace XmlErrorLog
{

void install();

} // namespace XmlErrorLog
