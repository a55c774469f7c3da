// The thin operating-system layer under the serial link and the notices.
//
// One implementation file per system (platform_posix.cpp, platform_win32.cpp)
// and a scripted test double (platform_fake.cpp); CMake links exactly one of
// them. Nothing above this header includes a system header.
#ifndef QUILLMERE_PLATFORM_PLATFORM_H
#define QUILLMERE_PLATFORM_PLATFORM_H

#include <cstdint>

// Opaque handle of an open COM port; nullptr means no port.
typedef void* PlatformPort;

// Line settings record (the device-control record of the port driver). The
// serial link fills it field by field; the platform maps it onto the driver.
// DCBlength is the record size the driver expects (28).
struct PlatformLineSettings {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;    // 0 = none
    uint8_t StopBits;  // 0 = one stop bit
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
};

// Time-out record, all fields in milliseconds, with the driver's meaning:
// a read of n bytes returns when n bytes are in or after
// ReadTotalTimeoutMultiplier * n + ReadTotalTimeoutConstant ms with what came
// (ReadIntervalTimeout 0xFFFFFFFF with non-zero totals sets no gap limit);
// a write of n bytes has WriteTotalTimeoutMultiplier * n +
// WriteTotalTimeoutConstant ms to complete. On top of that every
// implementation gives up a read or write, as a failure, after 5000 ms in
// which no byte moved, so a device that stopped answering cannot hang a run.
struct PlatformTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// No-progress bound of reads and writes, in milliseconds.
constexpr uint32_t kPlatformNoProgressMs = 5000;

// Opens the port named by path ("\\.\COMn") for reading and writing,
// exclusively, existing device only. Returns the handle, or nullptr when the
// port does not exist, is held by another program or cannot be opened. A
// failed open leaves nothing open. Both queues start empty.
PlatformPort PlatformOpenPort(const char* path);

// Closes an open port. Harmless with nullptr.
void PlatformClosePort(PlatformPort port);

// Advisory driver queue sizes in bytes. Returns non-zero on success.
int PlatformSetupComm(PlatformPort port, uint32_t in_queue, uint32_t out_queue);

// Ends pending operations and discards queued data as the purge bits select
// (0x1 end writes, 0x2 end reads, 0x4 discard output, 0x8 discard input).
// Returns non-zero on success.
int PlatformPurgeComm(PlatformPort port, uint32_t flags);

// Reads the port's current line settings into *dcb. Returns non-zero on success.
int PlatformGetCommState(PlatformPort port, PlatformLineSettings* dcb);

// Applies line settings. Returns non-zero when the port accepted them.
int PlatformSetCommState(PlatformPort port, const PlatformLineSettings* dcb);

// Applies a time-out profile. Returns non-zero when the port accepted it.
int PlatformSetCommTimeouts(PlatformPort port, const PlatformTimeouts* timeouts);

// Selects the port events to report (0x0001: a character was received).
// Returns non-zero on success.
int PlatformSetCommMask(PlatformPort port, uint32_t mask);

// Sends count bytes within the write time-out. Returns non-zero on success
// and stores the count sent in *written; 0 on failure (port error, device
// gone, time-out before the block was sent).
int PlatformWriteFile(PlatformPort port, const void* buffer, uint32_t count, uint32_t* written);

// Receives up to count bytes within the read time-outs. Returns non-zero on
// success with the count received in *received (possibly 0 when the time-out
// ran out); 0 on failure (port error, device gone, end of file, hang-up,
// 5000 ms without a byte under a profile that sets no practical bound).
int PlatformReadFile(PlatformPort port, void* buffer, uint32_t count, uint32_t* received);

// Milliseconds since an arbitrary start, unsigned 32-bit, wrapping to 0.
uint32_t PlatformTickCount();

// Pauses the calling thread for ms milliseconds.
void PlatformSleep(uint32_t ms);

// Shows a modal message box. text and caption are code page 1251 bytes,
// NUL-terminated; type is the box type flags (0x10, 0x40, 0x33, 0x34).
// Returns the answer: 1 OK, 2 Cancel, 6 Yes, 7 No; 0 when the box could not
// be shown.
int PlatformMessageBox(const char* text, const char* caption, uint32_t type);

#endif
