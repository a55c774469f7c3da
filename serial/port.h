// The one COM port: handle, name, line settings, time-out profiles and the
// two transfer primitives every monitor frame and data transfer is built on.
#ifndef QUILLMERE_SERIAL_PORT_H
#define QUILLMERE_SERIAL_PORT_H

#include <cstdint>

#include "platform/platform.h"

// The open port, or nullptr. Non-null always means open; every operation that
// closes the port also sets it to nullptr.
extern PlatformPort PortHandle;

// Path of the port to open, "\\.\COM1" at start; SetPortNumber rewrites the
// number from index 7 on. After a successful search it names the instrument.
extern char PortName[16];

// Read budget base in ms (10); ReadPort allows ReadTimeoutSetting / 3 = 3 ms.
extern const uint32_t ReadTimeoutSetting;

// Line-settings and time-out records last filled by ConfigureLine and the
// profile operations.
extern PlatformLineSettings ComDCM;
extern PlatformTimeouts CommTimeOuts;

// Opens the port named by PortName. 0: open, PortHandle holds it; 1: the open
// failed, no port is open. Does not close a port that is already open.
int OpenPort();

// Closes the port if one is open; afterwards PortHandle is nullptr.
void ClosePort();

// 1 when no port is open, else 0.
int IsPortClosed();

// Driver queue sizes (bytes, both queues). Returns the platform's success
// flag (non-zero = success); callers ignore it.
int SetQueueSizes(uint32_t size);

// Purges with the platform's purge bits (15 all, 10 receive side, 5 transmit
// side). Returns the platform's success flag; callers ignore it.
int PurgePort(uint32_t flags);

// 115200 8N1, binary, no flow control, DTR and RTS off, abort on error.
// 0: applied; 1: rejected, the port has been closed.
int ConfigureLine();

// Short profile: a read of n bytes waits at most 10 + n ms, a write 10 + n ms.
// 0: applied; 1: rejected, the port stays open.
int SetShortTimeouts();

// Long profiles A and B: no practical limit (the platform's 5000 ms
// no-progress bound applies). 0: applied; 1: rejected, the port stays open.
int SetLongTimeoutsA();
int SetLongTimeoutsB();

// Sends count bytes in one platform write.
// 0: written; 1: no port open, nothing sent; 2: the write failed, the port
// has been closed.
int WritePort(const void* buffer, uint32_t count);

// Collects exactly numb bytes: three read attempts, further ones only while
// less than ReadTimeoutSetting / 3 ms have passed since the start. With no
// port open it first shows the no-device notice.
// 0: all bytes received; 1: a read failed, the port has been closed; 2: the
// budget ran out, the port stays open. Bytes received so far are in buffer.
int ReadPort(void* buffer, uint32_t numb);

#endif
