#include "app/commandline.h"

#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace
{

void printUsage(const char *program, const CommandLine &settings)
{
    std::printf("Usage: %s [OPTION]\n"
                "\n"
                "Options:\n"
                "  -i, --interface   Define interface. Default is %s\n"
                "  -p, --port        Define port number (0=auto). Default is %i\n"
                "  -h, --help        Show this message\n"
                "\n"
                "\n",
        program, settings.interfaceName.toLatin1().constData(), settings.port);
    std::fflush(stdout);
}

} // namespace

CommandLine parseCommandLine(int argc, char **argv, const CommandLine &defaults)
{
    static const option longOptions[] = {
        {"interface", required_argument, nullptr, 'i'},
        {"port", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    CommandLine settings = defaults;
    optind = 1;
    for (;;) {
        const int option = getopt_long(argc, argv, "i:p:h", longOptions, nullptr);
        switch (option) {
        case -1:
            return settings;
        case 'i':
            settings.interfaceName = QString::fromLatin1(optarg);
            break;
        case 'p':
            settings.port = int(std::strtol(optarg, nullptr, 10));
            break;
        case 'h':
            printUsage(argv[0], settings);
            settings.helpShown = true;
            return settings;
        default:
            break;
        }
    }
}
