#pragma once

#include <QString>

// The description of a UPnP error: the back-end's own text when it gave one, else the
// standard text of the code, else a sentence naming the code.
QString upnpErrorText(int code, const QString &text);
