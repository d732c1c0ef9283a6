// The rows of dorvalix-ports: adding, filling and ordering them.
#include "port_list.h"

#include <cstdlib>
#include <cstring>

PortRow* AppendPort(PortList& list) {
    if (list.count == list.capacity) {
        int capacity = list.capacity < 64 ? 64 : list.capacity * 2;
        void* grown = std::realloc(list.rows, sizeof(PortRow) * size_t(capacity));
        if (grown == nullptr) return nullptr;
        list.rows = static_cast<PortRow*>(grown);
        list.capacity = capacity;
    }
    PortRow* row = &list.rows[list.count++];
    std::memset(row, 0, sizeof *row);
    return row;
}

void AddCom(PortRow& row, unsigned n) {
    int at = 0;
    while (at < row.comCount && row.com[at] < n) ++at;
    if ((at < row.comCount && row.com[at] == n) || row.comCount == kMaxComsPerPort) return;
    std::memmove(&row.com[at + 1], &row.com[at], sizeof row.com[0] * size_t(row.comCount - at));
    row.com[at] = n;
    ++row.comCount;
}

void SetField(char* field, size_t size, const char* text) {
    size_t i = 0;
    for (; text != nullptr && text[i] != '\0' && i + 1 < size; ++i) {
        field[i] = text[i];
    }
    field[i] = '\0';
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Text order, with each run of digits compared by its value.
int NaturalCompare(const char* a, const char* b) {
    while (*a != '\0' && *b != '\0') {
        if (IsDigit(*a) && IsDigit(*b)) {
            while (*a == '0') ++a;
            while (*b == '0') ++b;
            size_t la = 0, lb = 0;
            while (IsDigit(a[la])) ++la;
            while (IsDigit(b[lb])) ++lb;
            if (la != lb) return la < lb ? -1 : 1;
            int c = std::strncmp(a, b, la);
            if (c != 0) return c;
            a += la;
            b += lb;
            continue;
        }
        if (*a != *b) return (unsigned char)*a < (unsigned char)*b ? -1 : 1;
        ++a;
        ++b;
    }
    return *a == *b ? 0 : (*a == '\0' ? -1 : 1);
}

int CompareRows(const void* x, const void* y) {
    const PortRow& a = *static_cast<const PortRow*>(x);
    const PortRow& b = *static_cast<const PortRow*>(y);
    if ((a.comCount > 0) != (b.comCount > 0)) return a.comCount > 0 ? -1 : 1;
    if (a.comCount > 0 && a.com[0] != b.com[0]) return a.com[0] < b.com[0] ? -1 : 1;
    return NaturalCompare(a.device, b.device);
}

}  // namespace

void SortPorts(PortList& list) {
    if (list.count > 1) std::qsort(list.rows, size_t(list.count), sizeof list.rows[0], CompareRows);  // no rows: no array
}
