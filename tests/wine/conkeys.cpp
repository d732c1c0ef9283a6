// Test helper for the wine end-to-end run: starts a program in this console
// and types keys into it exactly, with WriteConsoleInputA, as a command file
// that grows during the run asks. A terminal cannot do that: the console
// host drops a lone ESC typed there and has no way to send F-keys exactly.
//
//   conkeys.exe [-p] COMMANDFILE PROGRAM [ARGUMENTS...]
//
// With -p the program's standard input is a pipe instead: "c XX" then
// writes the byte XX into it and "close" closes it.
//
// Command file lines, read as they appear:
//   c XX             a key with the character XX (hex), pressed and released
//   v VK STATE       a key with no character: virtual key VK and control-key
//                    state STATE (both hex), pressed and released
//   r XX COUNT       a key with the character XX, one event repeated COUNT times
//   n                events that give no key: a focus event, a lone Shift,
//                    a release on its own
// The helper ends with the program and returns its exit status.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HANDLE conin = INVALID_HANDLE_VALUE;
HANDLE pipeWriter = INVALID_HANDLE_VALUE;  // with -p

INPUT_RECORD KeyRecord(bool down, WORD vk, unsigned char ch, DWORD state, WORD repeat) {
    INPUT_RECORD r;
    std::memset(&r, 0, sizeof r);
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    r.Event.KeyEvent.wRepeatCount = repeat;
    r.Event.KeyEvent.wVirtualKeyCode = vk;
    r.Event.KeyEvent.uChar.AsciiChar = char(ch);
    r.Event.KeyEvent.dwControlKeyState = state;
    return r;
}

void Send(const INPUT_RECORD* records, DWORD count) {
    DWORD written = 0;
    if (!WriteConsoleInputA(conin, records, count, &written) || written != count) {
        std::fprintf(stderr, "conkeys: WriteConsoleInputA failed (%lu)\n", GetLastError());
    }
}

void Run(const std::string& line) {
    unsigned a = 0, b = 0;
    if (pipeWriter != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (line == "close") {
            CloseHandle(pipeWriter);
            pipeWriter = nullptr;
        } else if (std::sscanf(line.c_str(), "c %x", &a) == 1) {
            char byte = char(a);
            if (!WriteFile(pipeWriter, &byte, 1, &written, nullptr)) {
                std::fprintf(stderr, "conkeys: pipe write failed (%lu)\n", GetLastError());
            }
        } else {
            std::fprintf(stderr, "conkeys: bad pipe command '%s'\n", line.c_str());
        }
        return;
    }
    if (std::sscanf(line.c_str(), "c %x", &a) == 1) {
        INPUT_RECORD r[2] = {KeyRecord(true, 0, a, 0, 1), KeyRecord(false, 0, a, 0, 1)};
        Send(r, 2);
    } else if (std::sscanf(line.c_str(), "v %x %x", &a, &b) == 2) {
        INPUT_RECORD r[2] = {KeyRecord(true, WORD(a), 0, b, 1), KeyRecord(false, WORD(a), 0, b, 1)};
        Send(r, 2);
    } else if (std::sscanf(line.c_str(), "r %x %x", &a, &b) == 2) {
        INPUT_RECORD r[2] = {KeyRecord(true, 0, a, 0, WORD(b)), KeyRecord(false, 0, a, 0, 1)};
        Send(r, 2);
    } else if (line == "n") {
        INPUT_RECORD r[3];
        std::memset(&r[0], 0, sizeof r[0]);
        r[0].EventType = FOCUS_EVENT;
        r[0].Event.FocusEvent.bSetFocus = TRUE;
        r[1] = KeyRecord(true, VK_SHIFT, 0, SHIFT_PRESSED, 1);
        r[2] = KeyRecord(false, 0, 'q', 0, 1);
        Send(r, 3);
    } else if (!line.empty()) {
        std::fprintf(stderr, "conkeys: bad command '%s'\n", line.c_str());
    }
}

std::string Quote(const char* arg) {
    if (*arg != '\0' && std::strpbrk(arg, " \t\"") == nullptr) return arg;
    std::string q = "\"";
    for (; *arg; ++arg) {
        if (*arg == '"') q += '\\';
        q += *arg;
    }
    return q + "\"";
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool usePipe = argc > 1 && std::strcmp(argv[1], "-p") == 0;
    if (usePipe) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: conkeys [-p] COMMANDFILE PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    conin = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr);
    if (conin == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "conkeys: no console input (%lu)\n", GetLastError());
        return 2;
    }
    HANDLE commands = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    if (commands == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "conkeys: cannot open %s (%lu)\n", argv[1], GetLastError());
        return 2;
    }

    std::string commandLine;
    for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? " " : "") + Quote(argv[i]);
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    SetHandleInformation(si.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(si.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    HANDLE pipeReader = INVALID_HANDLE_VALUE;
    if (usePipe) {
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        if (!CreatePipe(&pipeReader, &pipeWriter, &sa, 0)) {
            std::fprintf(stderr, "conkeys: no pipe (%lu)\n", GetLastError());
            return 2;
        }
        SetHandleInformation(pipeWriter, HANDLE_FLAG_INHERIT, 0);
        si.hStdInput = pipeReader;
    }
    PROCESS_INFORMATION pi;
    std::string mutableLine = commandLine;
    if (!CreateProcessA(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "conkeys: cannot start %s (%lu)\n", commandLine.c_str(), GetLastError());
        return 2;
    }
    if (usePipe) CloseHandle(pipeReader);

    std::string partial;
    for (;;) {
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(commands, buffer, sizeof buffer, &got, nullptr) && got != 0) {
            partial.append(buffer, got);
            size_t end;
            while ((end = partial.find('\n')) != std::string::npos) {
                Run(partial.substr(0, end));
                partial.erase(0, end + 1);
            }
        }
        if (WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0) break;
    }
    DWORD status = 2;
    GetExitCodeProcess(pi.hProcess, &status);
    return int(status);
}
