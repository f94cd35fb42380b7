#pragma once

#include <QString>

// Start-up settings taken from the command line.
struct CommandLine {
    QString interfaceName;
    int port = 0;
    bool helpShown = false;
};

// Parses -i/--interface, -p/--port and -h/--help over argv, starting from the given
// defaults; the last value given wins. On -h the usage text goes to stdout with the values
// in effect at that point, and parsing stops with helpShown set.
CommandLine parseCommandLine(int argc, char **argv, const CommandLine &defaults);
