/*
 * SRAM monitor: the copy loops between a USB endpoint's FIFO register and
 * memory, for S data and R answers. One word access to the FIFO register
 * per byte (the register takes or gives the next byte on each access) and
 * one byte access to memory, in order: 10 cycles a byte with the FIFO's
 * wait state, against about 14 for the compiler's loop.
 */
    .syntax unified
    .arm

/* void fifo_to_memory(volatile uint8_t *to, uint32_t n, volatile uint32_t *fifo)
 * n >= 1 bytes read from the FIFO register, stored at to on. */
    .section .text.fifo_to_memory, "ax", %progbits
    .global fifo_to_memory
    .type fifo_to_memory, %function
fifo_to_memory:
    ldr     r3, [r2]
    strb    r3, [r0], #1
    subs    r1, r1, #1
    bne     fifo_to_memory
    bx      lr
    .size fifo_to_memory, . - fifo_to_memory

/* void memory_to_fifo(const volatile uint8_t *from, uint32_t n, volatile uint32_t *fifo)
 * n >= 1 bytes loaded from from on, written to the FIFO register. */
    .section .text.memory_to_fifo, "ax", %progbits
    .global memory_to_fifo
    .type memory_to_fifo, %function
memory_to_fifo:
    ldrb    r3, [r0], #1
    str     r3, [r2]
    subs    r1, r1, #1
    bne     memory_to_fifo
    bx      lr
    .size memory_to_fifo, . - memory_to_fifo
