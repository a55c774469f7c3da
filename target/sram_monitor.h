/*
 * SRAM monitor: its link to the host over the USB device port (sram_usb.c),
 * used by the frame engine (sram_monitor.c) when the ROM monitor left the
 * port configured.
 */
#ifndef TARGET_SRAM_MONITOR_H
#define TARGET_SRAM_MONITOR_H

#include <stdint.h>

/* usb_link_get's answer once the USB link is given up (a bus reset found no
 * descriptors in the boot ROM to enumerate with): serve the debug unit. */
#define USB_LINK_GONE 0x100u

/* Takes the port over as the ROM monitor left it, touching nothing: 1 when
 * the port is configured (the link is USB), 0 when it is not. */
uint32_t usb_link_take(void);

/* The host's next byte (0-255) from the bulk OUT endpoint, or USB_LINK_GONE.
 * Waits as long as it takes, serving endpoint 0 and bus resets meanwhile. */
uint32_t usb_link_get(void);

/* Adds one byte of an answer; full 64-byte packets go as they fill. Bytes
 * are dropped while the port is not configured. */
void usb_link_put(uint32_t byte);

/* Ends an answer: sends its last packet, and a zero-length packet after it
 * when the answer's length is a multiple of 64. Nothing for no answer. */
void usb_link_end_answer(void);

#endif /* TARGET_SRAM_MONITOR_H */
