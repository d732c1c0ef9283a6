// dorvalix-ports' command line: the output form, the Windows probe, usage.
#include "ports.h"

#include <cctype>
#include <cstring>

#include "format.h"
#include "scan.h"
#include "shown_text.h"

namespace {

bool SameOption(const char* arg, const char* option) {
    for (; *arg != '\0' && *option != '\0'; ++arg, ++option) {
        if (std::tolower((unsigned char)*arg) != std::tolower((unsigned char)*option)) return false;
    }
    return *arg == *option;
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "DORVALIX-PORTS v" DORVALIX_VERSION "  Lists the serial ports and who holds them\n"
                 "\n"
                 "dorvalix-ports [/S]"
#ifdef _WIN32
                 " [/PROBE]"
#endif
                 "\n"
                 "\n"
                 "  /S      For scripts: one port a line, tab-separated fields.\n"
#ifdef _WIN32
                 "  /PROBE  Opens each port to learn whether it is in use. The open\n"
                 "          raises DTR and RTS on many adapters: that resets boards\n"
                 "          such as Arduino and ESP32.\n"
#endif
                 "\n"
                 "No port is opened"
#ifdef _WIN32
                 " without /PROBE"
#endif
                 "; nothing is changed.\n");
}

}  // namespace

int PortsMain(int argc, const char* const argv[], const char* root, FILE* out, FILE* err) {
    bool script = false;
    ScanOptions options{root, false};
    for (int i = 1; i < argc; ++i) {
        if (SameOption(argv[i], "/S")) {
            script = true;
#ifdef _WIN32
        } else if (SameOption(argv[i], "/PROBE")) {
            options.probe = true;
#endif
        } else if (SameOption(argv[i], "/?") || SameOption(argv[i], "--help")) {
            Usage(out);
            return 0;
        } else {
            static char shown[kShownMax];
#ifdef _WIN32
            (void)ShowText(argv[i], TextCoding::kCodePage, shown, sizeof shown);  // the ANSI code page
#else
            (void)ShowText(argv[i], TextCoding::kUtf8, shown, sizeof shown);
#endif
            std::fprintf(err, "dorvalix-ports: unknown option %s\n\n", shown);
            Usage(err);
            return 1;
        }
    }
    static PortList list;
    list.count = 0;
    ScanPorts(options, list);
    if (script) {
        WriteScript(list, out);
    } else {
        WriteTable(list, out);
    }
    return std::fflush(out) == 0 ? 0 : 1;
}
