/*
 * SRAM monitor: a boot monitor that runs from SRAM and serves the host's
 * frames on the link the ROM monitor used: the USB device port when the ROM
 * monitor left it configured (sram_usb.c), the debug serial unit otherwise.
 *
 * Frames: a letter, up to eight hex digits of address, optionally ',' and a
 * hex value, then '#'. Hex digits may be upper or lower case.
 *   N#           binary mode; answers \n \r
 *   T#           terminal mode; answers \n \r \n
 *   V#           answers \n \r, the version text, \n \r >
 *   Waddr,val#   stores a word; Haddr,val# a half-word; Oaddr,val# a byte
 *   waddr,4#     reads a word: binary mode 4 raw bytes, least significant
 *                first; terminal mode "0x" and 8 hex digits, then \n \r
 *   oaddr,4#     reads a byte: binary mode 1 raw byte; terminal mode "0x",
 *                2 hex digits, \n \r
 *   Saddr,len#   then len raw bytes, stored from addr on
 *   Raddr,count# answers count raw bytes from addr
 *   Gaddr#       calls the code at addr; the next frame is served after it
 *                returns
 * Line feeds and carriage returns between frames ("V#\n", a lone \n) and
 * frames without a letter ("#\n") get no answer; so does a frame with a
 * character that is neither a hex digit nor one ','.
 *
 * On USB every answer ends with the end of its frame: its last packet goes
 * then (see usb_link_end_answer). While a called applet runs the port keeps
 * the host's next packets in its banks.
 *
 * The debug unit holds one received byte, and the host sends its next frame
 * while a called applet still runs (a chunk write takes about a quarter of a
 * second). Around every call the receive DMA stores the arriving bytes in
 * rx_buf; after the return they are served before the unit is read again.
 *
 * The version text reads as a version-1 monitor: one that serves every frame
 * itself, so a host that asks it never uploads a replacement monitor over it.
 */
#include "regs.h"
#include "sram_monitor.h"

#define VERSION_TEXT "v1.0 SRAM monitor"
#define VERSION_ANSWER "\n\r" VERSION_TEXT "\n\r>" /* the answer to V# */

/* Receive buffer of the DMA; up to RX_BUF_SIZE bytes arriving during one call. */
#define RX_BUF_SIZE 2048u

static uint8_t rx_buf[RX_BUF_SIZE] __attribute__((section(".noinit"), aligned(4)));
static uint32_t rx_pos; /* next byte of rx_buf to serve */
static uint32_t rx_len; /* bytes in rx_buf */
static uint32_t binary_mode;
static uint32_t on_usb; /* 1: the link is the USB device port */

void monitor_main(void) __attribute__((noreturn));

/* The debug unit as the ROM monitor leaves it, set explicitly without
 * resetting the receiver, which may hold the host's next byte. Out of line:
 * two callers, and the image has little room. */
static void __attribute__((noinline)) serial_setup(void)
{
    REG32(DBGU_IDR) = 0xFFFFFFFFu;
    REG32(DBGU_PTCR) = DBGU_PTCR_RXTDIS;
    REG32(DBGU_MR) = DBGU_MR_PAR_NONE | DBGU_MR_CHMODE_NORMAL;
    REG32(DBGU_BRGR) = DBGU_CD_115200;
    REG32(DBGU_CR) = DBGU_CR_RXEN | DBGU_CR_TXEN | DBGU_CR_RSTSTA;
}

/* Stores the next n received bytes at to. On USB straight from the port's
 * packets; when the USB link is given up, the rest come from the debug unit:
 * first those the DMA caught, then the unit itself. */
static void get_bytes(volatile uint8_t *to, uint32_t n)
{
    if (on_usb) {
        uint32_t got = usb_link_read(to, n);
        if (got == n)
            return;
        to += got;
        n -= got;
        on_usb = 0;
        serial_setup();
    }
    for (; n; n--) {
        if (rx_pos < rx_len) {
            *to++ = rx_buf[rx_pos++];
            continue;
        }
        while (!(REG32(DBGU_SR) & DBGU_SR_RXRDY))
            ;
        *to++ = (uint8_t)REG32(DBGU_RHR);
    }
}

static uint32_t get_byte(void)
{
    uint8_t byte;

    get_bytes(&byte, 1);
    return byte;
}

/* Sends n bytes from memory at from: on USB packet by packet into the
 * port's FIFO, on the debug unit byte by byte as the transmitter is ready. */
static void put_bytes(const volatile uint8_t *from, uint32_t n)
{
    if (on_usb) {
        usb_link_write(from, n);
        return;
    }
    for (; n; n--) {
        while (!(REG32(DBGU_SR) & DBGU_SR_TXRDY))
            ;
        REG32(DBGU_THR) = *from++;
    }
}

static void put_byte(uint32_t byte)
{
    uint8_t b = (uint8_t)byte;

    put_bytes(&b, 1);
}

static void put_hex(uint32_t value, uint32_t digits)
{
    put_byte('0');
    put_byte('x');
    while (digits--) {
        uint32_t n = (value >> (digits * 4)) & 0xFu;
        put_byte(n < 10 ? '0' + n : 'A' + n - 10);
    }
    put_byte('\n');
    put_byte('\r');
}

/* Word and half-word accesses at unaligned addresses go byte by byte, little
 * endian: the core would otherwise rotate or drop the low address bits. */
static uint32_t load32(uint32_t addr)
{
    const volatile uint8_t *p = (const volatile uint8_t *)addr;
    if (addr & 3)
        return p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
    return *(const volatile uint32_t *)addr;
}

static void store32(uint32_t addr, uint32_t value)
{
    volatile uint8_t *p = (volatile uint8_t *)addr;
    if (addr & 3) {
        p[0] = (uint8_t)value;
        p[1] = (uint8_t)(value >> 8);
        p[2] = (uint8_t)(value >> 16);
        p[3] = (uint8_t)(value >> 24);
    } else {
        *(volatile uint32_t *)addr = value;
    }
}

static void store16(uint32_t addr, uint32_t value)
{
    volatile uint8_t *p = (volatile uint8_t *)addr;
    if (addr & 1) {
        p[0] = (uint8_t)value;
        p[1] = (uint8_t)(value >> 8);
    } else {
        *(volatile uint16_t *)addr = (uint16_t)value;
    }
}

/* Calls the code at addr. On the debug unit the receive DMA is armed around
 * the call, and the caught bytes are queued (after any not yet served) for
 * get_byte. On USB the port's banks hold the host's bytes meanwhile. */
static void call_code(uint32_t addr)
{
    uint32_t kept = rx_len - rx_pos;
    uint32_t i;

    if (on_usb) {
        ((void (*)(void))addr)();
        return;
    }

    for (i = 0; i < kept; i++)
        rx_buf[i] = rx_buf[rx_pos + i];
    rx_pos = 0;
    if ((REG32(DBGU_SR) & DBGU_SR_RXRDY) && kept < RX_BUF_SIZE)
        rx_buf[kept++] = (uint8_t)REG32(DBGU_RHR);

    REG32(DBGU_RNCR) = 0;
    REG32(DBGU_RPR) = (uint32_t)(uintptr_t)&rx_buf[kept];
    REG32(DBGU_RCR) = RX_BUF_SIZE - kept;
    REG32(DBGU_PTCR) = DBGU_PTCR_RXTEN;

    ((void (*)(void))addr)();

    REG32(DBGU_PTCR) = DBGU_PTCR_RXTDIS;
    rx_len = RX_BUF_SIZE - (REG32(DBGU_RCR) & DBGU_RCR_MAX);
}

static int hex_value(uint32_t c)
{
    if (c >= '0' && c <= '9')
        return (int)(c - '0');
    c |= 0x20; /* lower case */
    if (c >= 'a' && c <= 'f')
        return (int)(c - 'a' + 10);
    return -1;
}

static void serve_frame(uint32_t letter, uint32_t addr, uint32_t value)
{
    uint32_t i;

    switch (letter) {
    case 'N':
        binary_mode = 1;
        put_byte('\n');
        put_byte('\r');
        break;
    case 'T':
        binary_mode = 0;
        put_byte('\n');
        put_byte('\r');
        put_byte('\n');
        break;
    case 'V':
        put_bytes((const volatile uint8_t *)VERSION_ANSWER, sizeof VERSION_ANSWER - 1);
        break;
    case 'W':
        store32(addr, value);
        break;
    case 'H':
        store16(addr, value);
        break;
    case 'O':
        *(volatile uint8_t *)addr = (uint8_t)value;
        break;
    case 'w':
        value = load32(addr);
        if (!binary_mode) {
            put_hex(value, 8);
            break;
        }
        for (i = 0; i < 4; i++, value >>= 8)
            put_byte(value);
        break;
    case 'o':
        value = *(const volatile uint8_t *)addr;
        if (binary_mode)
            put_byte(value);
        else
            put_hex(value, 2);
        break;
    case 'S':
        get_bytes((volatile uint8_t *)addr, value);
        break;
    case 'R':
        put_bytes((const volatile uint8_t *)addr, value);
        break;
    case 'G':
        call_code(addr);
        break;
    default:
        break;
    }
}

void monitor_main(void)
{
    /* The link the ROM monitor used: the USB device port if it is
     * configured, taken over as it is; else the debug unit. */
    on_usb = usb_link_take();
    if (!on_usb)
        serial_setup();

    for (;;) {
        uint32_t letter = get_byte();
        uint32_t addr = 0, value = 0, in_value = 0, valid = 1;
        uint32_t c;

        if (letter == '\n' || letter == '\r' || letter == '#')
            continue;
        while ((c = get_byte()) != '#') {
            int digit = hex_value(c);
            if (digit >= 0) {
                if (in_value)
                    value = (value << 4) | (uint32_t)digit;
                else
                    addr = (addr << 4) | (uint32_t)digit;
            } else if (c == ',' && !in_value) {
                in_value = 1;
            } else {
                valid = 0;
            }
        }
        if (valid)
            serve_frame(letter, addr, value);
        if (on_usb)
            usb_link_end_answer();
    }
}
