// dorvalix-ports' table and scripts' form (see ports/format.h).
#include "format.h"

#include <cstring>

#include "shown_text.h"

namespace {

constexpr int kComWidth = 7, kDeviceWidth = 14, kIdWidth = 10, kDriverWidth = 11, kStateWidth = 37;
constexpr int kIndent = kComWidth;
constexpr int kLineWidth = kComWidth + kDeviceWidth + kIdWidth + kDriverWidth + kStateWidth;  // 79

// Every field comes from outside (process names, USB strings, file names,
// mappings): each is written through Show, here, and nowhere raw.
void Show(const char* field, TextCoding coding, char* out) { (void)ShowText(field, coding, out, kShownMax); }

// The columns a shown text takes.
int Columns(const char* shown, TextCoding coding) {
    int total = 0;
    for (size_t i = 0, n; shown[i] != '\0'; i += n) {
        int columns;
        n = ShownUnit(shown + i, coding, columns);
        total += columns;
    }
    return total;
}

// A shown text cut to at most `width` columns (into `out`, kShownMax bytes):
// a long one keeps its start and its end (where serial numbers, interface
// numbers and pids are) around "...", escapes and characters whole.
void Cut(const char* shown, int width, TextCoding coding, char* out) {
    const int total = Columns(shown, coding);
    if (total <= width) {
        std::strcpy(out, shown);
        return;
    }
    const int tail = (width - 3) / 2, head = width - 3 - tail;
    size_t used = 0;
    int columns = 0;
    for (size_t i = 0, n; shown[i] != '\0'; i += n) {
        int c;
        n = ShownUnit(shown + i, coding, c);
        if (columns + c > head) break;
        std::memcpy(out + used, shown + i, n);
        used += n;
        columns += c;
    }
    std::memcpy(out + used, "...", 3);
    used += 3;
    size_t from = 0;
    for (int before = 0, c; shown[from] != '\0' && total - before > tail; before += c) {
        from += ShownUnit(shown + from, coding, c);
    }
    std::strcpy(out + used, shown + from);
}

void Column(FILE* out, const char* field, int width, bool last, TextCoding coding) {
    char shown[kShownMax], cut[kShownMax];
    Show(field[0] != '\0' ? field : "-", coding, shown);
    Cut(shown, last ? width : width - 1, coding, cut);
    if (last) {
        std::fprintf(out, "%s\n", cut);
    } else {
        std::fprintf(out, "%s%*s", cut, width - Columns(cut, coding), "");
    }
}

void More(FILE* out, const char* label, const char* field, TextCoding coding) {
    char shown[kShownMax];
    const size_t length = std::strlen(label);  // ours, and short
    std::memcpy(shown, label, length);
    (void)ShowText(field, coding, shown + length, sizeof shown - length);
    char cut[kShownMax];
    Cut(shown, kLineWidth - kIndent, coding, cut);
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

// A field of the scripts' form: a tab or line break in it is shown as an
// escape too, so it never splits the line.
void Field(FILE* out, const char* field, TextCoding coding, bool last) {
    char shown[kShownMax];
    Show(field[0] != '\0' ? field : "-", coding, shown);
    std::fprintf(out, "%s%c", shown, last ? '\n' : '\t');
}

TextCoding CodingOf(const PortList& list) { return list.codePage ? TextCoding::kCodePage : TextCoding::kUtf8; }

}  // namespace

void WriteTable(const PortList& list, FILE* out) {
    if (list.count == 0) {
        std::fprintf(out, "No serial port found.\n");
        return;
    }
    std::fprintf(out, "%-*s%-*s%-*s%-*s%s\n", kComWidth, "COM", kDeviceWidth, "DEVICE", kIdWidth, "USB ID",
                 kDriverWidth, "DRIVER", "STATE");
    const TextCoding coding = CodingOf(list);
    int suggestions = 0;
    for (int i = 0; i < list.count; ++i) {
        const PortRow& row = list.rows[i];
        char com[16] = "";
        if (row.comCount > 0) std::snprintf(com, sizeof com, "COM%u%s", row.com[0], row.comCount > 1 ? "+" : "");
        Column(out, com, kComWidth, false, coding);
        Column(out, row.device, kDeviceWidth, false, coding);
        Column(out, row.vidPid, kIdWidth, false, coding);
        Column(out, row.driver, kDriverWidth, false, coding);
        Column(out, row.state, kStateWidth, true, coding);
        if (row.comCount > 1) {
            char all[128] = "";
            for (int c = 0; c < row.comCount; ++c) {
                size_t used = std::strlen(all);
                std::snprintf(all + used, sizeof all - used, "%sCOM%u", c > 0 ? ", " : "", row.com[c]);
            }
            More(out, "also as ", all + std::strcspn(all, ",") + 2, coding);
        }
        char device[kShownMax];
        Show(row.device, coding, device);
        if (Columns(device, coding) > kDeviceWidth - 1) More(out, "", row.device, coding);
        if (row.byId[0] != '\0') {
            const char* name = std::strrchr(row.byId, '/');
            More(out, "by-id: ", name != nullptr ? name + 1 : row.byId, coding);
        }
        char description[512];
        Description(row, description, sizeof description);
        if (description[0] != '\0') More(out, "", description, coding);
        suggestions += row.suggestion[0] != '\0';
    }
    if (list.holdersUnseen) {
        std::fprintf(out, "\nOther users' processes were not looked at: a port one of them holds\n"
                          "without a lock shows as free. Run as root to see every holder.\n");
    }
    if (suggestions == 0) return;
    std::fprintf(out, "\nTo reach a device by a COM number, map it (lines to copy):\n");
    for (int i = 0; i < list.count; ++i) {
        if (list.rows[i].suggestion[0] == '\0') continue;
        char shown[kShownMax];
        Show(list.rows[i].suggestion, coding, shown);
        std::fprintf(out, "%s\n", shown);
    }
}

void WriteScript(const PortList& list, FILE* out) {
    const TextCoding coding = CodingOf(list);
    for (int i = 0; i < list.count; ++i) {
        const PortRow& row = list.rows[i];
        char com[kMaxComsPerPort * 8] = "";
        for (int c = 0; c < row.comCount; ++c) {
            size_t used = std::strlen(com);
            std::snprintf(com + used, sizeof com - used, "%sCOM%u", c > 0 ? "," : "", row.com[c]);
        }
        const char* const fields[] = {com, row.device, row.byId, row.vidPid, row.serial, row.manufacturer,
                                      row.product, row.driver, row.state, row.suggestion};
        for (size_t f = 0; f < sizeof fields / sizeof fields[0]; ++f) {
            Field(out, fields[f], coding, f + 1 == sizeof fields / sizeof fields[0]);
        }
    }
}
