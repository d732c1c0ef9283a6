// dorvalix-ports' table and scripts' form (see ports/format.h).
#include "format.h"

#include <cstring>

namespace {

constexpr int kComWidth = 7, kDeviceWidth = 14, kIdWidth = 10, kDriverWidth = 11, kStateWidth = 37;
constexpr int kIndent = kComWidth;
constexpr int kLineWidth = kComWidth + kDeviceWidth + kIdWidth + kDriverWidth + kStateWidth;  // 79

// `text` cut to at most `width` characters: a long one keeps its start and
// its end (where serial numbers, interface numbers and pids are) around "...".
void Cut(const char* text, int width, char* out) {
    int length = int(std::strlen(text));
    if (length <= width) {
        std::memcpy(out, text, size_t(length) + 1);
        return;
    }
    int tail = (width - 3) / 2, head = width - 3 - tail;
    std::snprintf(out, size_t(width) + 1, "%.*s...%s", head, text, text + length - tail);
}

void Column(FILE* out, const char* text, int width, bool last) {
    char cut[512];
    Cut(text[0] != '\0' ? text : "-", last ? width : width - 1, cut);
    if (last) {
        std::fprintf(out, "%s\n", cut);
    } else {
        std::fprintf(out, "%-*s", width, cut);
    }
}

void More(FILE* out, const char* label, const char* text) {
    char line[512];
    std::snprintf(line, sizeof line, "%s%s", label, text);
    char cut[512];
    Cut(line, kLineWidth - kIndent, cut);
    std::fprintf(out, "%*s%s\n", kIndent, "", cut);
}

void Description(const PortRow& row, char* out, size_t size) {
    out[0] = '\0';
    const char* m = row.manufacturer;
    bool sameStart = m[0] != '\0' && std::strncmp(row.product, m, std::strlen(m)) == 0;
    std::snprintf(out, size, "%s%s%s", sameStart ? "" : m, (m[0] != '\0' && !sameStart && row.product[0] != '\0') ? " " : "",
                  row.product);
    if (row.serial[0] != '\0') {
        size_t used = std::strlen(out);
        std::snprintf(out + used, size - used, "%sserial %s", used > 0 ? ", " : "", row.serial);
    }
}

const char* Field(const char* text) { return text[0] != '\0' ? text : "-"; }

}  // namespace

void WriteTable(const PortList& list, FILE* out) {
    if (list.count == 0) {
        std::fprintf(out, "No serial port found.\n");
        return;
    }
    std::fprintf(out, "%-*s%-*s%-*s%-*s%s\n", kComWidth, "COM", kDeviceWidth, "DEVICE", kIdWidth, "USB ID",
                 kDriverWidth, "DRIVER", "STATE");
    int suggestions = 0;
    for (int i = 0; i < list.count; ++i) {
        const PortRow& row = list.rows[i];
        char com[16] = "";
        if (row.comCount > 0) std::snprintf(com, sizeof com, "COM%u%s", row.com[0], row.comCount > 1 ? "+" : "");
        Column(out, com, kComWidth, false);
        Column(out, row.device, kDeviceWidth, false);
        Column(out, row.vidPid, kIdWidth, false);
        Column(out, row.driver, kDriverWidth, false);
        Column(out, row.state, kStateWidth, true);
        if (row.comCount > 1) {
            char all[128] = "";
            for (int c = 0; c < row.comCount; ++c) {
                size_t used = std::strlen(all);
                std::snprintf(all + used, sizeof all - used, "%sCOM%u", c > 0 ? ", " : "", row.com[c]);
            }
            More(out, "also as ", all + std::strcspn(all, ",") + 2);
        }
        if (int(std::strlen(row.device)) > kDeviceWidth - 1) More(out, "", row.device);
        if (row.byId[0] != '\0') {
            const char* name = std::strrchr(row.byId, '/');
            More(out, "by-id: ", name != nullptr ? name + 1 : row.byId);
        }
        char description[512];
        Description(row, description, sizeof description);
        if (description[0] != '\0') More(out, "", description);
        suggestions += row.suggestion[0] != '\0';
    }
    if (list.holdersUnseen) {
        std::fprintf(out, "\nOther users' processes were not looked at: a port one of them holds\n"
                          "without a lock shows as free. Run as root to see every holder.\n");
    }
    if (suggestions == 0) return;
    std::fprintf(out, "\nTo reach a device by a COM number, map it (lines to copy):\n");
    for (int i = 0; i < list.count; ++i) {
        if (list.rows[i].suggestion[0] != '\0') std::fprintf(out, "%s\n", list.rows[i].suggestion);
    }
}

void WriteScript(const PortList& list, FILE* out) {
    for (int i = 0; i < list.count; ++i) {
        const PortRow& row = list.rows[i];
        char com[kMaxComsPerPort * 8] = "";
        for (int c = 0; c < row.comCount; ++c) {
            size_t used = std::strlen(com);
            std::snprintf(com + used, sizeof com - used, "%sCOM%u", c > 0 ? "," : "", row.com[c]);
        }
        std::fprintf(out, "%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", Field(com), Field(row.device), Field(row.byId),
                     Field(row.vidPid), Field(row.serial), Field(row.manufacturer), Field(row.product),
                     Field(row.driver), Field(row.state), Field(row.suggestion));
    }
}
