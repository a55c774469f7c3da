/*
 * Entry of both applets, placed first in the image at APPLET_BASE.
 * A monitor starts the applet with a branch-and-link in ARM state; the
 * applet runs one mailbox command and returns to it with bx lr, leaving the
 * caller's sp and r4-r11 as they were.
 */
#include "applet.h"

    .syntax unified
    .arm
    .section .text.entry, "ax", %progbits
    .global _start
_start:
    b       entry                   @ 0xEA000020: over the mailbox to 0x88

    .global mailbox
mailbox:
    .space  0x80, 0                 @ 0x04-0x83: the mailbox, zero in the image
vars_ready:
    .word   0                       @ 0x84: set once the variables are cleared

entry:                              @ 0x88
    mov     r12, sp                 @ the caller's sp travels on our own stack
    ldr     sp, =APPLET_STACK_TOP
    stmfd   sp!, {r4-r11, r12, lr}  @ 10 words: sp stays 8-byte aligned

    adr     r3, vars_ready
    ldr     r0, [r3]
    cmp     r0, #0
    bne     1f
    ldr     r1, =__vars_start       @ first start after loading: clear the variables
    ldr     r2, =__vars_end
    mov     r0, #0
2:  cmp     r1, r2
    strlo   r0, [r1], #4
    blo     2b
    mov     r0, #1
    str     r0, [r3]
1:
    ldr     r0, =APPLET_MAILBOX
    bl      applet_command

    ldmfd   sp!, {r4-r11, r12, lr}
    mov     sp, r12
    bx      lr

    .ltorg
