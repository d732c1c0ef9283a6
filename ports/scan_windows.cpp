// The Windows scan of dorvalix-ports: every COM<n> the system knows, from
// the DOS device names (QueryDosDevice) and, for what they are, the Ports
// and Modem device classes of SetupAPI (friendly name, manufacturer,
// hardware id, service). Nothing is opened unless /PROBE asks for it:
// whether a port is free is known only by an open, which raises DTR and
// RTS on most adapters and so resets many boards.
#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scan.h"

namespace {

constexpr unsigned kMaxCom = 255;

// The setup classes whose devices have a PortName: Ports (COM & LPT) and Modem.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kModemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// n of "COM<n>" (any case, 1 to 255, no leading zero), else 0.
unsigned ComNumber(const char* name) {
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
    unsigned n = 0;
    for (const char* p = name + 3; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + unsigned(*p - '0');
        if (n > kMaxCom) return 0;
    }
    return n;
}

PortRow* RowOf(PortList& list, unsigned n) {
    for (int i = 0; i < list.count; ++i) {
        if (list.rows[i].comCount > 0 && list.rows[i].com[0] == n) return &list.rows[i];
    }
    PortRow* row = AppendPort(list);
    if (row != nullptr) AddCom(*row, n);
    return row;
}

// Wine's own name lookup, kernel32's wine_get_unix_file_name; nullptr on
// Windows. Under wine a COM port is a link in the prefix's dosdevices
// folder, which QueryDosDevice does not know unless wine's mount manager
// made it; the lookup resolves the name to that link's path (a look at the
// names, not an open).
typedef char*(CDECL* UnixFileName)(const WCHAR* dosName);
UnixFileName WineLookup() {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC lookup = kernel32 != nullptr ? GetProcAddress(kernel32, "wine_get_unix_file_name") : nullptr;
    return reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(lookup));
}

// A row for COM<n> with its device object (under wine its link's path),
// when the name exists.
void AddDosDevice(PortList& list, unsigned n, UnixFileName wine) {
    char name[16], target[1024];
    std::snprintf(name, sizeof name, "COM%u", n);
    if (QueryDosDeviceA(name, target, sizeof target) == 0) {
        char narrow[32];
        WCHAR device[32];
        int length = std::snprintf(narrow, sizeof narrow, "\\\\.\\COM%u", n);
        for (int i = 0; i <= length; ++i) device[i] = WCHAR(narrow[i]);
        char* path = wine != nullptr ? wine(device) : nullptr;
        if (path == nullptr) return;
        SET_FIELD(target, path);
        HeapFree(GetProcessHeap(), 0, path);
    }
    PortRow* row = RowOf(list, n);
    if (row != nullptr) SET_FIELD(row->device, target);
}

// Every COM<n> that is a DOS device name (each asked for by its name:
// listing them all is no cheaper, and not every system lists every name
// it resolves).
void ScanDosDevices(PortList& list) {
    const UnixFileName wine = WineLookup();
    for (unsigned n = 1; n <= kMaxCom; ++n) AddDosDevice(list, n, wine);
}

bool Property(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property, char* out, DWORD size) {
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, reinterpret_cast<BYTE*>(out), size - 2,
                                           nullptr)) {
        out[0] = '\0';
        return false;
    }
    out[size - 2] = out[size - 1] = '\0';
    return true;
}

// "vvvv:pppp" from a hardware id with VID_vvvv and PID_pppp in it.
void UsbId(const char* hardwareId, char* out, size_t size) {
    char upper[512];
    size_t i = 0;
    for (; hardwareId[i] != '\0' && i + 1 < sizeof upper; ++i) upper[i] = char(std::toupper((unsigned char)hardwareId[i]));
    upper[i] = '\0';
    const char* vid = std::strstr(upper, "VID_");
    const char* pid = std::strstr(upper, "PID_");
    if (vid == nullptr || pid == nullptr) return;
    std::snprintf(out, size, "%.4s:%.4s", vid + 4, pid + 4);
    for (char* p = out; *p != '\0'; ++p) *p = char(std::tolower((unsigned char)*p));
}

// What SetupAPI says of each port device with a PortName.
void ScanClass(PortList& list, const GUID& setupClass) {
    HDEVINFO set = SetupDiGetClassDevsA(&setupClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char portName[64] = "";
        DWORD size = sizeof portName - 1, type = 0;
        LONG got = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName), &size);
        RegCloseKey(key);
        unsigned n = got == ERROR_SUCCESS && type == REG_SZ ? ComNumber(portName) : 0;
        PortRow* row = n != 0 ? RowOf(list, n) : nullptr;
        if (row == nullptr) continue;
        char text[1024];
        if (Property(set, device, SPDRP_FRIENDLYNAME, text, sizeof text) ||
            Property(set, device, SPDRP_DEVICEDESC, text, sizeof text)) {
            SET_FIELD(row->product, text);
        }
        if (Property(set, device, SPDRP_MFG, text, sizeof text)) SET_FIELD(row->manufacturer, text);
        if (Property(set, device, SPDRP_SERVICE, text, sizeof text)) SET_FIELD(row->driver, text);
        if (Property(set, device, SPDRP_HARDWAREID, text, sizeof text)) UsbId(text, row->vidPid, sizeof row->vidPid);
        // A USB device's instance id ends in its serial number (without '&':
        // one with it is a number Windows made up from the USB port).
        char instance[512];
        if (row->vidPid[0] != '\0' && SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr) &&
            _strnicmp(instance, "USB\\", 4) == 0) {
            const char* last = std::strrchr(instance, '\\');
            if (last != nullptr && std::strchr(last, '&') == nullptr) SET_FIELD(row->serial, last + 1);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

// Opens the port to learn whether another program holds it.
void Probe(PortRow& row) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", row.com[0]);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (error == ERROR_SUCCESS) {
        SET_FIELD(row.state, "free");
    } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        SET_FIELD(row.state, "in use");
    } else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        SET_FIELD(row.state, "missing");
    } else {
        std::snprintf(row.state, sizeof row.state, "open failed (error %lu)", static_cast<unsigned long>(error));
    }
}

}  // namespace

void ScanPorts(const ScanOptions& options, PortList& list) {
    list.count = 0;
    list.holdersUnseen = false;
    list.codePage = GetACP() != CP_UTF8;  // the A functions' text
    ScanDosDevices(list);
    ScanClass(list, kPortsClass);
    ScanClass(list, kModemClass);
    for (int i = 0; i < list.count; ++i) {
        PortRow& row = list.rows[i];
        if (row.device[0] == '\0') {
            SET_FIELD(row.state, "missing");  // a device with a PortName but no such DOS name
        } else if (options.probe) {
            Probe(row);
        } else {
            SET_FIELD(row.state, "not probed");
        }
    }
    SortPorts(list);
}
