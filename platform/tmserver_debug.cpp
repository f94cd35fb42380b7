#include "platform/tmserver_debug.h"

Q_LOGGING_CATEGORY(lcApp, "tmserver.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUpnp, "tmserver.upnp", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDevice, "tmserver.device", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBridge, "tmserver.bridge", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPlatform, "tmserver.platform", QtInfoMsg)
