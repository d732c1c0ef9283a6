#include "hex_view.h"

#include <cstdio>

#include "../platform/console.h"
#include "hex_rows.h"
#include "output.h"

namespace {

struct HexView {
    uint32_t gapMs;
    bool inFrame;          // a frame has begun and not ended
    uint64_t lastByteMs;   // when the frame's last byte came (or the idle time began)
    uint32_t offset;       // of row[0] within the frame
    uint8_t row[kHexRowBytes];
    size_t rowLength;
} view;

// The rows of one run, written to the console together (with time stamps,
// they share the run's reading of the clock).
char rows[64 * kMaxHexRow];
size_t rowsUsed = 0;

void WriteRows() {
    if (rowsUsed == 0) return;
    ConsoleStartLine();
    ConsoleWriteRun(rows, rowsUsed);
    rowsUsed = 0;
}

void ShowRow() {
    if (view.rowLength == 0) return;
    if (rowsUsed + kMaxHexRow > sizeof rows) WriteRows();
    rowsUsed += FormatHexRow(view.offset, view.row, view.rowLength, rows + rowsUsed);
    view.offset += uint32_t(view.rowLength);
    view.rowLength = 0;
}

void EndFrame() {
    if (!view.inFrame) return;
    ShowRow();
    WriteRows();
    view.inFrame = false;
}

}  // namespace

void HexViewStart(uint32_t gapMs, uint64_t nowMs) {
    view = HexView();
    view.gapMs = gapMs;
    view.lastByteMs = nowMs;
}

void HexViewBytes(const uint8_t* bytes, size_t length, uint64_t nowMs) {
    if (length == 0) return;
    if (view.inFrame && nowMs - view.lastByteMs >= view.gapMs) EndFrame();
    if (!view.inFrame) {
        char header[32];
        std::snprintf(header, sizeof header, "+%llu ms\n",
                      static_cast<unsigned long long>(nowMs - view.lastByteMs));
        ConsoleStartLine();
        PutText(header);
        view.inFrame = true;
        view.offset = 0;
        view.rowLength = 0;
    }
    view.lastByteMs = nowMs;
    while (length != 0) {
        if (view.rowLength == 0 && length >= kHexRowBytes) {  // a whole row straight from the run
            if (rowsUsed + kMaxHexRow > sizeof rows) WriteRows();
            rowsUsed += FormatHexRow(view.offset, bytes, kHexRowBytes, rows + rowsUsed);
            view.offset += uint32_t(kHexRowBytes);
            bytes += kHexRowBytes;
            length -= kHexRowBytes;
            continue;
        }
        size_t take = kHexRowBytes - view.rowLength;
        if (take > length) take = length;
        for (size_t i = 0; i < take; ++i) view.row[view.rowLength + i] = bytes[i];
        view.rowLength += take;
        bytes += take;
        length -= take;
        if (view.rowLength == kHexRowBytes) ShowRow();
    }
    WriteRows();
}

void HexViewIdle(uint64_t nowMs) {
    if (view.inFrame && nowMs - view.lastByteMs >= view.gapMs) EndFrame();
}

void HexViewCut() {
    ShowRow();
    WriteRows();
    ConsoleStartLine();
}

void HexViewEndFrame(uint64_t nowMs) {
    EndFrame();
    view.lastByteMs = nowMs;
}
