// The serial driver: one port per process, held in a few globals, offered as
// plain calls that report success or failure and leave their outcome in the
// status record. The driver never prints.
#pragma once

#include <cstdint>

#include "../platform/win32_serial.h"

// "ZEFT Serial Driver v2.1" and a notice.
extern const char DriverBanner[];

// Driver state.
extern HANDLE PortHandle;       // the open port, or INVALID_HANDLE_VALUE
extern uint8_t PortNumber;      // low 8 bits of the number given to OpenCOM
extern uint8_t LineState;       // control-line states last taken in, bits 7..4

// Status record: outcome of the most recent operation that records one.
constexpr int kStatusTextSize = 512;
extern int32_t StatusCode;      // 0 = success
extern char StatusText[kStatusTextSize];

// Control-line byte: states in bits 7..4, change bits in 3..0.
constexpr uint8_t LINE_DCD = 0x80;
constexpr uint8_t LINE_RI = 0x40;
constexpr uint8_t LINE_DSR = 0x20;
constexpr uint8_t LINE_CTS = 0x10;
constexpr uint8_t LINE_DCD_CHANGED = 0x08;
constexpr uint8_t LINE_RI_CHANGED = 0x04;
constexpr uint8_t LINE_DSR_CHANGED = 0x02;
constexpr uint8_t LINE_CTS_CHANGED = 0x01;
constexpr uint8_t LINE_CHANGES = 0x0F;

// Receive status byte: RX_CTRL (a control line has changed) and the receive
// errors the port reported since the last RxStatus (BREAK .. BUFFULL).
constexpr uint8_t RX_TIMEOUT = 0x80;
constexpr uint8_t RX_UNUSED = 0x40;
constexpr uint8_t RX_CTRL = 0x20;
constexpr uint8_t RX_BREAK = 0x10;
constexpr uint8_t RX_FRAME = 0x08;
constexpr uint8_t RX_PARITY = 0x04;
constexpr uint8_t RX_OVERRUN = 0x02;
constexpr uint8_t RX_BUFFULL = 0x01;
constexpr uint8_t RX_ERRORS = 0x1F;  // BREAK .. BUFFULL

// Port session. Commands return 1 for success, 0 for failure.
int OpenCOM(int port, uint32_t baud, int dataBits, int stopCode, int parityCode);
int ReleaseCOM();
int FlushRxBuf();
int BreakOn();
int BreakOff();
int DTROn();
int DTROff();
int RTSOn();
int RTSOff();
int ConfigDialog();
int SysErrorText();  // always 0; status record from the last platform error
// The rate the port has now, in bits per second (the configuration dialog
// may have changed it since OpenCOM); 0 when it cannot be read. Records
// nothing.
uint32_t PortBaud();

// 1 when the port reports that what it sends comes back to it and no far
// end can answer (the loopback port; see kProvSpecLoopsBack1), else 0, also
// when its properties cannot be read. Records nothing.
int PortLoopsBack();

// Character transfer.
int RxChar();                  // 0..255, or -1 when no byte came
// Received bytes a run at a time: up to `max` of them into `bytes`, as many
// as have arrived, waiting for the first as RxChar does. A run ends at the
// place of a receive error, so that RxStatus right after it reports the
// errors that came with its last byte, as it would after RxChar. The first
// call after OpenCOM sets the port's read time-outs to return what has
// arrived (the wait for a first byte stays 250 ms); a port that refuses them
// gets runs of one byte. Returns the count, 0 when no byte came. Records
// nothing.
int RxRun(uint8_t* bytes, int max);
uint16_t TxChar(int byte);     // 0 sent, 0xFFFF not sent
uint16_t TxBufFree();          // transmit-queue headroom, 0 on failure

// Line status.
int CTSState();
int DSRState();
int RIState();
int DCDState();
uint8_t ControlLines();
uint8_t RxStatus();

// Bytes in one write: how many went out (fewer when the write timed out),
// or -1 when the write failed, recorded as TxChar records it.
int TxBytes(const uint8_t* bytes, int count);
