/*
 * SRAM monitor: the link to the host over the chip's USB device port, which
 * the ROM monitor leaves addressed and configured as a CDC virtual serial
 * port (endpoint 0 control, bulk OUT for the host's bytes, bulk IN for the
 * answers, an interrupt IN endpoint on which nothing is sent).
 *
 * Takeover: nothing is reset and nothing written; packets of the host's next
 * frame may already wait in the bulk OUT banks and are served first. The data
 * toggles stay as the transfers left them: resetting an endpoint without the
 * host's CLEAR_FEATURE would make the port drop the host's next packet as a
 * repeat.
 *
 * Every wait (for an OUT packet, for the host to take an IN packet) is a
 * loop that only reads ISR and CSRn; it also serves endpoint 0 (the standard
 * and CDC requests of the boot monitor's device, STALL for anything else),
 * suspend and resume, and a bus reset, after which the port enumerates again
 * with the boot monitor's own descriptors, found in the boot ROM by their
 * shape. The search for them runs in small steps while the monitor waits
 * for the host's next frame, so that it is done before a bus reset comes and
 * costs no frame more than a step; a bus reset is answered at address 0 at
 * once in any case. Without descriptors the host could not bind its driver
 * again; the link is then given up (endpoint 0 stays off, the host's
 * enumeration fails) and the monitor serves the debug serial unit instead.
 *
 * Data: the bytes of S data and of answers move a packet at a time between
 * the FIFO and memory in the tight loops of fifo_copy.S, about 10 cycles a
 * byte, so that the monitor keeps up with the bus (a 64-byte packet every
 * 53 microseconds at most, about 40 cycles a byte) with time to spare.
 *
 * CSR discipline: a CSR write writes 1 to every flag that is not to be
 * cleared and 0 only to flags seen set, keeps the other fields as read, and
 * is followed by reads until it shows; the FIFO of an endpoint is touched
 * only after that, and an IN bank only while the port does not hold it.
 * The transceiver, the pull-up and the clocks are never written.
 */
#include "regs.h"
#include "sram_monitor.h"

#define CSR(n) REG32(USB_CSR(n))
#define FDR(n) REG32(USB_FDR(n))

/* Requests on endpoint 0, as bRequest << 8 | bmRequestType. */
#define RQ_GET_STATUS_DEVICE      0x0080u
#define RQ_GET_STATUS_INTERFACE   0x0081u
#define RQ_GET_STATUS_ENDPOINT    0x0082u
#define RQ_CLEAR_FEATURE_ENDPOINT 0x0102u
#define RQ_SET_FEATURE_ENDPOINT   0x0302u
#define RQ_SET_ADDRESS            0x0500u
#define RQ_GET_DESCRIPTOR         0x0680u
#define RQ_GET_CONFIGURATION      0x0880u
#define RQ_SET_CONFIGURATION      0x0900u
#define RQ_SET_LINE_CODING        0x2021u /* CDC class requests to the interface */
#define RQ_GET_LINE_CODING        0x21A1u
#define RQ_SET_CONTROL_LINE_STATE 0x2221u

#define FEATURE_ENDPOINT_HALT 0u
#define REQUEST_IN            0x80u /* bmRequestType: the data stage goes to the host */

/* Descriptors: type codes and sizes. */
#define DESC_DEVICE        1u
#define DESC_CONFIGURATION 2u
#define DESC_INTERFACE     4u
#define DESC_ENDPOINT      5u
#define DEVICE_DESC_SIZE   18u
#define CONFIG_DESC_SIZE   9u
#define INTERFACE_DESC_SIZE 9u
#define ENDPOINT_DESC_SIZE 7u
#define EP_ADDRESS_IN      0x80u /* bEndpointAddress: direction IN */
#define EP_ADDRESS_NUMBER  0x0Fu
#define EP_ATTR_TYPE       0x03u /* bmAttributes: transfer type */
#define EP_ATTR_BULK       0x02u
#define CONFIG_SELF_POWERED 0x40u /* bmAttributes of the configuration */

#define LINE_CODING_SIZE 7u

/* Boot ROM addresses the search looks at in one step while the monitor waits
 * for the host: about 30 microseconds, all a frame or a bus reset may have
 * to wait for it. */
#define SEARCH_STEP 64u

/* What a request on endpoint 0 leads to. */
enum { DO_STALL, DO_SEND, DO_STATUS, DO_ADDRESS, DO_CONFIGURE, DO_HALT, DO_UNHALT, DO_LINE_CODING };

static uint32_t ep_out;       /* the bulk OUT endpoint: the host's bytes */
static uint32_t ep_in;        /* the bulk IN endpoint: the answers */
static uint32_t out_bank;     /* the OUT bank due next (0 or 1), in strict alternation */
static uint32_t out_left;     /* bytes of the open OUT packet still in the FIFO; 0: none open */
static uint32_t in_count;     /* bytes written into the IN bank being filled */
static uint32_t in_busy;      /* 1: an IN packet was released and its TXCOMP not yet seen */
static uint32_t configured;   /* 1 while the host has the device configured */
static uint32_t config_value; /* the configuration set, answered to GET_CONFIGURATION */
static uint32_t gone;         /* 1 once the link is given up (no descriptors to enumerate with) */
static uintptr_t search_at;   /* the next boot ROM address the search looks at; 0 once it has ended */
static const uint8_t *device_desc; /* the boot monitor's descriptors in the boot ROM, or 0 */
static const uint8_t *config_desc;
/* The line coding last set (SET_LINE_CODING, 7 bytes: rate, stop bits,
 * parity, data bits); it has no effect on USB. The ROM monitor's own value is
 * not known here: the takeover sets 115200 baud 8N1, the settings the host's
 * tool opens the port with. */
static uint32_t line_coding[2];
#define LINE_CODING_BYTES ((uint8_t *)line_coding)
#define LINE_CODING_RATE_DEFAULT 115200u    /* bytes 0-3 */
#define LINE_CODING_8N1          (8u << 16) /* bytes 4-7: 1 stop bit, no parity, 8 data bits */

static void bus_reset(void);
static void ep0_serve(void);

/* Writes value to CSRn, then reads CSRn until the bits of mask read want,
 * i.e. the write has shown (bounded: a flag may be set again at once). */
static void csr_write(uint32_t ep, uint32_t value, uint32_t mask, uint32_t want)
{
    uint32_t reads = USB_CSR_SETTLE_READS;

    CSR(ep) = value;
    while ((CSR(ep) & mask) != want && --reads)
        ;
}

/* Changes CSRn: clears those of flags that read set, sets the fields of mask
 * to fields, writes 1 to every other flag (kept: no event the port signals
 * meanwhile is lost) and 0 to TXPKTRDY (no effect), keeps the rest as read. */
static void csr_update(uint32_t ep, uint32_t flags, uint32_t mask, uint32_t fields)
{
    uint32_t csr = CSR(ep);

    flags &= csr;
    csr_write(ep, ((csr | USB_CSR_FLAGS) & ~(flags | mask | USB_CSR_TXPKTRDY)) | fields, flags | mask, fields);
}

/* Lets the IN packet written to FDRn go (with nothing written: a zero-length
 * one). TXCOMP is clear before: the release shows as TXPKTRDY, or as TXCOMP
 * when the host has taken the packet before the first read after it. */
static void csr_release(uint32_t ep)
{
    uint32_t reads = USB_CSR_SETTLE_READS;

    CSR(ep) = CSR(ep) | USB_CSR_FLAGS | USB_CSR_TXPKTRDY;
    while (!(CSR(ep) & (USB_CSR_TXPKTRDY | USB_CSR_TXCOMP)) && --reads)
        ;
}

/* One look at the port's own events: a bus reset, endpoint 0, suspend and
 * resume. Nonzero when one was served (the link's state may have changed). */
static uint32_t usb_service(void)
{
    uint32_t isr = REG32(USB_ISR);

    if (isr & USB_ISR_ENDBUSRES)
        bus_reset();
    else if (isr & USB_ISR_EPINT(0))
        ep0_serve();
    else if (isr & (USB_ISR_RXSUSP | USB_ISR_RXRSM | USB_ISR_WAKEUP))
        REG32(USB_ICR) = isr & (USB_ISR_RXSUSP | USB_ISR_RXRSM | USB_ISR_WAKEUP);
    else
        return 0;
    return 1;
}

/* ---- The boot monitor's descriptors, found in the boot ROM by their shape -- */

/* An 18-byte device descriptor: USB 1.x or 2.x, 8-byte packets on endpoint 0
 * (the port's control FIFO), at least one configuration. */
static uint32_t device_shape(const uint8_t *p)
{
    return (p[3] == 1 || p[3] == 2) && p[7] == USB_EP0_SIZE && p[17] != 0;
}

/* A configuration descriptor with a configuration value, whose wTotalLength
 * lies in the boot ROM and is exactly covered by the descriptors after it:
 * interfaces of 9 bytes, each followed by as many endpoint descriptors (7
 * bytes, numbers 1-7) as it announces, other class descriptors passed over
 * by their length, no device or configuration descriptor inside; as many
 * interface numbers (0-31) as bNumInterfaces, and a bulk OUT and a bulk IN
 * endpoint among them. The same shape the bench probe looks for. */
static uint32_t config_shape(const uint8_t *p)
{
    uint32_t total = p[2] | (uint32_t)p[3] << 8, numbers = 0, interfaces = 0, due = 0, bulk = 0, number;
    const uint8_t *q, *end = p + total;

    if (total < CONFIG_DESC_SIZE + INTERFACE_DESC_SIZE || (uint32_t)(uintptr_t)p + total > ROM_END || p[5] == 0)
        return 0;
    for (q = p + CONFIG_DESC_SIZE; q < end; q += q[0]) {
        if (end - q < 2 || q[0] < 2 || q[0] > end - q)
            return 0;
        switch (q[1]) {
        case DESC_INTERFACE:
            if (q[0] != INTERFACE_DESC_SIZE || due || q[2] >= 32u)
                return 0;
            due = q[4];
            if (!(numbers & 1u << q[2]))
                interfaces++;
            numbers |= 1u << q[2];
            break;
        case DESC_ENDPOINT:
            number = q[2] & EP_ADDRESS_NUMBER;
            if (q[0] != ENDPOINT_DESC_SIZE || !due || (q[2] & 0x70u) || number == 0 || number >= USB_ENDPOINTS_MAX)
                return 0;
            due--;
            if ((q[3] & EP_ATTR_TYPE) == EP_ATTR_BULK)
                bulk |= (q[2] & EP_ADDRESS_IN) ? 2u : 1u;
            break;
        case DESC_DEVICE:
        case DESC_CONFIGURATION:
            return 0;
        default:
            break;
        }
    }
    return !due && interfaces && interfaces == p[4] && bulk == 3u;
}

/* Looks at up to n more addresses of the boot ROM for the first device and
 * configuration descriptor of that shape; once the search has ended without
 * both, neither is used. The whole ROM takes about 30 ms of chip time. */
static void search_rom(uint32_t n)
{
    const uint8_t *p = (const uint8_t *)search_at;
    const uint8_t *last = (const uint8_t *)(ROM_END - CONFIG_DESC_SIZE);

    if (!p)
        return;
    for (; n; n--, p++) {
        if (p > last)
            break;
        /* bDescriptorType first: it rules out nearly every address at once. */
        if (p[1] == DESC_DEVICE && p[0] == DEVICE_DESC_SIZE && !device_desc &&
            (uintptr_t)p <= ROM_END - DEVICE_DESC_SIZE && device_shape(p))
            device_desc = p;
        else if (p[1] == DESC_CONFIGURATION && p[0] == CONFIG_DESC_SIZE && !config_desc && config_shape(p))
            config_desc = p;
        else
            continue;
        if (device_desc && config_desc)
            break;
    }
    search_at = (uintptr_t)p;
    if (!n)
        return; /* the step ran out: more to look at */
    search_at = 0; /* the end of the ROM, or both found */
    if (!device_desc || !config_desc)
        device_desc = config_desc = 0;
}

/* The descriptors, once the search has ended (at once, when it has). */
static void find_descriptors(void)
{
    search_rom(ROM_SIZE);
}

static uint32_t config_total(void)
{
    return config_desc[2] | (uint32_t)config_desc[3] << 8;
}

/* ---- Endpoint 0 ------------------------------------------------------------ */

/* Waits until CSR0 shows one of flags and returns CSR0; 0 when a bus reset
 * or a new SETUP ends the request (the caller's wait then serves them). */
static uint32_t ep0_wait(uint32_t flags)
{
    uint32_t csr;

    for (;;) {
        if (REG32(USB_ISR) & USB_ISR_ENDBUSRES)
            return 0;
        csr = CSR(0);
        if (csr & USB_CSR_RXSETUP)
            return 0;
        if (csr & flags)
            return csr;
    }
}

/* Status stage of a request without data stage: a zero-length IN packet.
 * 1 when the host took it. */
static uint32_t ep0_status(void)
{
    csr_release(0);
    if (!ep0_wait(USB_CSR_TXCOMP))
        return 0;
    csr_update(0, USB_CSR_TXCOMP, 0, 0);
    return 1;
}

/* IN data stage of up to max bytes of data in 8-byte packets (a zero-length
 * packet ends an answer shorter than max that fills its last packet), then
 * the host's zero-length status packet. The host may end the data early. */
static void ep0_send(const uint8_t *data, uint32_t n, uint32_t max)
{
    uint32_t chunk, i, csr, shorter;

    if (n > max)
        n = max;
    shorter = n < max;
    do {
        chunk = n < USB_EP0_SIZE ? n : USB_EP0_SIZE;
        n -= chunk;
        for (i = 0; i < chunk; i++)
            FDR(0) = *data++;
        csr_release(0);
        csr = ep0_wait(USB_CSR_TXCOMP | USB_CSR_RX_DATA_BK0);
        if (!csr)
            return;
        if (csr & USB_CSR_RX_DATA_BK0) {
            csr_update(0, USB_CSR_TXCOMP | USB_CSR_RX_DATA_BK0, 0, 0);
            return;
        }
        csr_update(0, USB_CSR_TXCOMP, 0, 0);
    } while (n || (chunk == USB_EP0_SIZE && shorter));
    if (ep0_wait(USB_CSR_RX_DATA_BK0))
        csr_update(0, USB_CSR_RX_DATA_BK0, 0, 0);
}

/* SET_LINE_CODING's OUT data stage (one packet of 7 bytes), then status. */
static void ep0_line_coding(void)
{
    uint32_t csr = ep0_wait(USB_CSR_RX_DATA_BK0), n, i, byte;

    if (!csr)
        return;
    n = (csr & USB_CSR_RXBYTECNT_MASK) >> USB_CSR_RXBYTECNT_SHIFT;
    for (i = 0; i < n; i++) {
        byte = FDR(0);
        if (i < LINE_CODING_SIZE)
            LINE_CODING_BYTES[i] = (uint8_t)byte;
    }
    csr_update(0, USB_CSR_RX_DATA_BK0, 0, 0);
    ep0_status();
}

/* SET_CONFIGURATION: for a configuration, the endpoints of its descriptor
 * enabled with their types (a TXCOMP left over cleared, as in unhalt) and
 * reset (banks empty, toggles DATA0), then CONFG; for 0, CONFG cleared. The
 * bank notes start afresh either way. */
static void configure(uint32_t value)
{
    const uint8_t *q, *end;
    uint32_t number, type, reset = 0, glb;

    configured = 0;
    if (value) {
        end = config_desc + config_total();
        for (q = config_desc; q < end; q += q[0]) {
            if (q[1] != DESC_ENDPOINT)
                continue;
            number = q[2] & EP_ADDRESS_NUMBER;
            type = (q[3] & EP_ATTR_TYPE) | ((q[2] & EP_ADDRESS_IN) ? USB_EPTYPE_IN : 0);
            csr_update(number, USB_CSR_TXCOMP, USB_CSR_EPEDS | USB_CSR_EPTYPE_MASK,
                       USB_CSR_EPEDS | type << USB_CSR_EPTYPE_SHIFT);
            reset |= 1u << number;
            if (type == USB_EPTYPE_BULK_OUT)
                ep_out = number;
            else if (type == USB_EPTYPE_BULK_IN)
                ep_in = number;
        }
        REG32(USB_RST_EP) = reset;
        REG32(USB_RST_EP) = 0;
        config_value = value;
        configured = 1;
    }
    glb = REG32(USB_GLB_STAT) & ~USB_GLB_CONFG;
    REG32(USB_GLB_STAT) = configured ? glb | USB_GLB_CONFG : glb;
    out_bank = out_left = in_count = in_busy = 0;
}

/* CLEAR_FEATURE(ENDPOINT_HALT): the endpoint is held in reset (banks empty,
 * toggle DATA0) while its halt is lifted, so the host meets neither a STALL
 * nor a packet taken and then emptied; its bank note starts afresh. A TXCOMP
 * left from the last answer's last packet is cleared with it: afterwards it
 * would read as the next answer's first packet taken, and the second bank
 * would be released while the first still waits. */
static void unhalt(uint32_t ep)
{
    REG32(USB_RST_EP) = 1u << ep;
    csr_update(ep, USB_CSR_STALLSENT | USB_CSR_TXCOMP, USB_CSR_FORCESTALL, 0);
    REG32(USB_RST_EP) = 0;
    if (ep == ep_out)
        out_bank = out_left = 0;
    else
        in_count = in_busy = 0;
}

/* Serves what endpoint 0 shows: a SETUP with its whole request, or flags
 * left over (a STALL sent, a stage the host ended) that are only cleared. */
static void ep0_serve(void)
{
    uint8_t s[8], reply[2] = {0, 0};
    const uint8_t *data = reply;
    uint32_t csr = CSR(0), i, value, ep, length, glb, n = 2, action = DO_STALL;

    if (!(csr & USB_CSR_RXSETUP)) {
        csr_update(0, USB_CSR_TXCOMP | USB_CSR_RX_DATA_BK0 | USB_CSR_STALLSENT, 0, 0);
        return;
    }
    for (i = 0; i < sizeof s; i++)
        s[i] = (uint8_t)FDR(0);
    value = s[2] | (uint32_t)s[3] << 8;
    ep = s[4] & 0x7Fu;
    length = s[6] | (uint32_t)s[7] << 8;

    switch (s[0] | (uint32_t)s[1] << 8) {
    case RQ_GET_DESCRIPTOR:
        find_descriptors();
        if (s[3] == DESC_DEVICE && device_desc) {
            data = device_desc;
            n = DEVICE_DESC_SIZE;
            action = DO_SEND;
        } else if (s[3] == DESC_CONFIGURATION && s[2] == 0 && config_desc) {
            data = config_desc;
            n = config_total();
            action = DO_SEND;
        }
        break;
    case RQ_GET_CONFIGURATION:
        reply[0] = (uint8_t)(configured ? config_value : 0);
        n = 1;
        action = DO_SEND;
        break;
    case RQ_GET_STATUS_DEVICE:
        find_descriptors();
        if (config_desc && (config_desc[7] & CONFIG_SELF_POWERED))
            reply[0] = 1;
        action = DO_SEND;
        break;
    case RQ_GET_STATUS_INTERFACE:
        action = DO_SEND;
        break;
    case RQ_GET_STATUS_ENDPOINT:
        if (ep < USB_ENDPOINTS_MIN) {
            reply[0] = (CSR(ep) & USB_CSR_FORCESTALL) ? 1 : 0;
            action = DO_SEND;
        }
        break;
    case RQ_SET_FEATURE_ENDPOINT:
    case RQ_CLEAR_FEATURE_ENDPOINT:
        ep &= EP_ADDRESS_NUMBER;
        if (value == FEATURE_ENDPOINT_HALT && configured && (ep == ep_out || ep == ep_in))
            action = s[1] == (RQ_SET_FEATURE_ENDPOINT >> 8) ? DO_HALT : DO_UNHALT;
        break;
    case RQ_SET_ADDRESS:
        if (value <= USB_FADDR_FADD_MASK)
            action = DO_ADDRESS;
        break;
    case RQ_SET_CONFIGURATION:
        find_descriptors();
        if (value == 0 || (config_desc && value == config_desc[5]))
            action = DO_CONFIGURE;
        break;
    case RQ_SET_LINE_CODING:
        if (length == LINE_CODING_SIZE)
            action = DO_LINE_CODING;
        break;
    case RQ_GET_LINE_CODING:
        data = LINE_CODING_BYTES;
        n = LINE_CODING_SIZE;
        action = DO_SEND;
        break;
    case RQ_SET_CONTROL_LINE_STATE:
        action = DO_STATUS;
        break;
    default:
        break;
    }
    if (action == DO_SEND && length == 0)
        action = DO_STATUS;

    /* DIR as the request's direction says (a refused request's too),
     * FORCESTALL for a refusal (it stays until the next SETUP), both before
     * RXSETUP is cleared; a STALLSENT of the last refusal and a TXCOMP left
     * from the last request are cleared with them. */
    csr_update(0, USB_CSR_STALLSENT | USB_CSR_TXCOMP, USB_CSR_DIR | USB_CSR_FORCESTALL,
               (action == DO_STALL ? USB_CSR_FORCESTALL : 0) | ((s[0] & REQUEST_IN) ? USB_CSR_DIR : 0));
    csr_update(0, USB_CSR_RXSETUP, 0, 0);

    switch (action) {
    case DO_SEND:
        ep0_send(data, n, length);
        break;
    case DO_LINE_CODING:
        ep0_line_coding();
        break;
    case DO_ADDRESS:
        /* The new address applies only after the status stage, which the
         * host still sends to the old one. */
        if (ep0_status()) {
            REG32(USB_FADDR) = USB_FADDR_FEN | value;
            glb = REG32(USB_GLB_STAT) & ~USB_GLB_FADDEN;
            REG32(USB_GLB_STAT) = value ? glb | USB_GLB_FADDEN : glb;
        }
        break;
    case DO_CONFIGURE:
        configure(value);
        ep0_status();
        break;
    case DO_HALT:
        csr_update(ep, 0, USB_CSR_FORCESTALL, USB_CSR_FORCESTALL);
        ep0_status();
        break;
    case DO_UNHALT:
        unhalt(ep);
        ep0_status();
        break;
    case DO_STATUS:
        ep0_status();
        break;
    default:
        break;
    }
}

/* End of a bus reset: the port has disabled every endpoint and cleared the
 * address and CONFG. Endpoint 0 comes back as a control endpoint at address
 * 0 at once, before the host's new enumeration begins; should the search for
 * the descriptors not have ended yet, it ends now, while the host's first
 * request waits in endpoint 0 (its data stage answered NAK). Without
 * descriptors endpoint 0 stays off (or goes off again) and the link is given
 * up. */
static void bus_reset(void)
{
    REG32(USB_ICR) = USB_ISR_ENDBUSRES;
    configured = out_left = in_count = in_busy = 0;
    if (search_at || device_desc) {
        REG32(USB_FADDR) = USB_FADDR_FEN;
        csr_update(0, 0, USB_CSR_EPEDS | USB_CSR_EPTYPE_MASK,
                   USB_CSR_EPEDS | USB_EPTYPE_CONTROL << USB_CSR_EPTYPE_SHIFT);
        find_descriptors();
    }
    if (!device_desc) {
        gone = 1;
        REG32(USB_FADDR) = 0;
        csr_update(0, 0, USB_CSR_EPEDS | USB_CSR_EPTYPE_MASK, 0);
    }
}

/* ---- The link ------------------------------------------------------------- */

uint32_t usb_link_take(void)
{
    uint32_t n, csr, full;

    if (!(REG32(USB_GLB_STAT) & USB_GLB_CONFG))
        return 0;
    /* The bulk endpoints as the ROM monitor enabled them. */
    ep_out = 1;
    ep_in = 2;
    for (n = USB_ENDPOINTS_MIN - 1; n > 0; n--) {
        csr = CSR(n);
        if (!(csr & USB_CSR_EPEDS))
            continue;
        if ((csr & USB_CSR_EPTYPE_MASK) == USB_EPTYPE_BULK_OUT << USB_CSR_EPTYPE_SHIFT)
            ep_out = n;
        else if ((csr & USB_CSR_EPTYPE_MASK) == USB_EPTYPE_BULK_IN << USB_CSR_EPTYPE_SHIFT)
            ep_in = n;
    }
    /* The OUT bank due next: the only full one; with both full the older,
     * with none the next to fill; both are the bank of the toggle DTGLE. */
    csr = CSR(ep_out);
    full = csr & (USB_CSR_RX_DATA_BK0 | USB_CSR_RX_DATA_BK1);
    out_bank = full == USB_CSR_RX_DATA_BK1 || (full != USB_CSR_RX_DATA_BK0 && (csr & USB_CSR_DTGLE));
    /* A packet of the ROM monitor's last answer may still be on its way. */
    in_busy = (CSR(ep_in) & (USB_CSR_TXPKTRDY | USB_CSR_TXCOMP)) != 0;
    line_coding[0] = LINE_CODING_RATE_DEFAULT;
    line_coding[1] = LINE_CODING_8N1;
    config_value = 1;
    configured = 1;
    search_at = ROM_BASE; /* the descriptors are looked for while the host is between frames */
    return 1;
}

/* Hands the OUT bank just read back to the port; the other bank is due next. */
static void out_hand_back(void)
{
    csr_update(ep_out, out_bank ? USB_CSR_RX_DATA_BK1 : USB_CSR_RX_DATA_BK0, 0, 0);
    out_bank ^= 1;
    out_left = 0;
}

/* Waits until an OUT packet is open (out_left bytes of it in the FIFO),
 * serving the port and the descriptor search meanwhile; 0 once the link is
 * given up. */
static uint32_t out_open(void)
{
    uint32_t csr, full;

    while (!out_left) {
        if (gone)
            return 0;
        if (usb_service() || !configured)
            continue;
        csr = CSR(ep_out);
        full = csr & (USB_CSR_RX_DATA_BK0 | USB_CSR_RX_DATA_BK1);
        if (!full) {
            /* Once the search has ended this loop is a few instructions,
             * and the host's next packet is taken as soon as it lands. */
            if (search_at)
                search_rom(SEARCH_STEP);
            continue;
        }
        /* A single full bank is the one due; with both full the note says
         * which is older. */
        if (full != (USB_CSR_RX_DATA_BK0 | USB_CSR_RX_DATA_BK1))
            out_bank = full == USB_CSR_RX_DATA_BK1;
        out_left = (csr & USB_CSR_RXBYTECNT_MASK) >> USB_CSR_RXBYTECNT_SHIFT;
        if (!out_left)
            out_hand_back(); /* a zero-length packet */
    }
    return 1;
}

uint32_t usb_link_read(volatile uint8_t *to, uint32_t n)
{
    uint32_t left = n, chunk;

    while (left && out_open()) {
        /* The packet's bytes straight from the FIFO into memory: as many as
         * the packet holds or the caller wants, whichever is fewer. */
        chunk = left < out_left ? left : out_left;
        left -= chunk;
        out_left -= chunk;
        fifo_to_memory(to, chunk, &FDR(ep_out));
        to += chunk;
        if (!out_left)
            out_hand_back();
    }
    return n - left;
}

/* Lets the IN bank being filled go once the packet released before it has
 * gone: at most one released packet waits, as the sheet's procedure has it. */
static void in_send(void)
{
    while (in_busy) {
        if (usb_service())
            continue;
        if (CSR(ep_in) & USB_CSR_TXCOMP) {
            csr_update(ep_in, USB_CSR_TXCOMP, 0, 0);
            in_busy = 0;
        }
    }
    if (configured) {
        csr_release(ep_in);
        in_busy = 1;
    }
    in_count = 0;
}

void usb_link_write(const volatile uint8_t *from, uint32_t n)
{
    uint32_t room;

    while (n) {
        if (in_count == USB_BULK_SIZE)
            in_send();
        if (!configured)
            return;
        /* Fills the bank from memory: up to the packet's 64 bytes. */
        room = USB_BULK_SIZE - in_count;
        if (room > n)
            room = n;
        n -= room;
        in_count += room;
        memory_to_fifo(from, room, &FDR(ep_in));
        from += room;
    }
}

void usb_link_end_answer(void)
{
    uint32_t full = in_count == USB_BULK_SIZE;

    if (!in_count)
        return;
    in_send();
    if (full)
        in_send(); /* zero-length: the host's transfer ends only with a short packet */
}
