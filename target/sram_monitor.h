/*
 * SRAM monitor: its link to the host over the USB device port (sram_usb.c),
 * used by the frame engine (sram_monitor.c) when the ROM monitor left the
 * port configured.
 */
#ifndef TARGET_SRAM_MONITOR_H
#define TARGET_SRAM_MONITOR_H

#include <stdint.h>

/* Takes the port over as the ROM monitor left it, touching nothing: 1 when
 * the port is configured (the link is USB), 0 when it is not. */
uint32_t usb_link_take(void);

/* Stores the host's next n bytes from the bulk OUT endpoint at to, packet by
 * packet straight from the FIFO; a packet's bytes beyond n stay for the next
 * call. Waits as long as it takes, serving endpoint 0 and bus resets
 * meanwhile. Returns n, or fewer once the link is given up (a bus reset
 * found no descriptors in the boot ROM to enumerate with): the rest then
 * comes from the debug unit. */
uint32_t usb_link_read(volatile uint8_t *to, uint32_t n);

/* Adds n bytes from memory at from to an answer, filling 64-byte packets
 * straight into the FIFO; each full packet goes when the next byte needs its
 * bank or the answer ends. Bytes are dropped while the port is not
 * configured. */
void usb_link_write(const volatile uint8_t *from, uint32_t n);

/* Ends an answer: sends its last packet, and a zero-length packet after it
 * when the answer's length is a multiple of 64. Nothing for no answer. */
void usb_link_end_answer(void);

/* The copy loops of fifo_copy.S: n >= 1 bytes between an endpoint's FIFO
 * register (one word access per byte) and memory (one byte access per
 * byte), in order, at 10 cycles a byte. */
void fifo_to_memory(volatile uint8_t *to, uint32_t n, volatile uint32_t *fifo);
void memory_to_fifo(const volatile uint8_t *from, uint32_t n, volatile uint32_t *fifo);

#endif /* TARGET_SRAM_MONITOR_H */
