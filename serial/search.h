// The device search: probes COM1 to COM98 with "N#" for the boot monitor.
#ifndef QUILLMERE_SERIAL_SEARCH_H
#define QUILLMERE_SERIAL_SEARCH_H

#include <cstdint>

// Reply buffer of the probe.
extern uint8_t mon_test_recive[2];

// Writes port number n (0 to 99) in decimal into PortName from index 7 on,
// one or two digits and a terminating NUL.
void SetPortNumber(int32_t n);

// Probes the port numbers 1 to 98 in rising order and prints each opened
// port's mark ".n.", then " \n". Returns 0 when a port answered "\n\r" (it
// stays open, PortName names it), otherwise the code of port 98:
// 1 open failed, 2 short profile rejected, 3 line settings rejected,
// 4 probe write failed, 5 reply incomplete, 6 wrong reply.
int32_t SearchDevice();

#endif
