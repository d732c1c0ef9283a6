// Placeholder console: unbuffered output with "\n" as "\r\n", keys read raw.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "../console.h"

bool ConsoleKeyWaiting() {
    pollfd p = {0, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

int ConsoleReadKey() {
    unsigned char c = 0;
    return read(0, &c, 1) == 1 ? c : 0;
}

void ConsoleWrite(const char* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (data[i] == '\n') {
            if (write(1, "\r\n", 2) < 0) return;
        } else if (write(1, data + i, 1) < 0) {
            return;
        }
    }
}

void ConsoleSleep(unsigned milliseconds) {
    timespec ts = {time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool ConsoleIsInteractive() { return isatty(0) == 1; }
