/*
 * SRAM monitor: vector table and reset code, first in the image at
 * 0x00200000. The ROM monitor starts the image with a G frame at 0x00200000,
 * i.e. at the reset vector; the monitor never returns.
 */
    .syntax unified
    .arm
    .section .text.vectors, "ax", %progbits
    .global _start
_start:
    b       reset                   @ 0x00: 0xEA000006, reset code at 0x20
    b       .                       @ 0x04 undefined instruction
    b       .                       @ 0x08 software interrupt
    b       .                       @ 0x0C prefetch abort
    b       .                       @ 0x10 data abort
    b       .                       @ 0x14 reserved
    b       .                       @ 0x18 IRQ
    b       .                       @ 0x1C FIQ

reset:                              @ 0x20
    /* No interrupt may take a byte from the debug unit behind our back:
     * mask IRQ and FIQ, keep the processor mode. */
    mrs     r0, cpsr
    orr     r0, r0, #0xC0
    msr     cpsr_c, r0
    ldr     sp, =__stack_top
    /* Clear the few variables; quick, as the host's next frame follows
     * the G frame at once and the debug unit holds one byte. */
    ldr     r1, =__bss_start
    ldr     r2, =__bss_end
    mov     r0, #0
1:  cmp     r1, r2
    strlo   r0, [r1], #4
    blo     1b
    bl      monitor_main
    b       .

    .ltorg
