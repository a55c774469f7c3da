/*
 * Flash applet: serves the flash commands of the mailbox, one per start.
 *
 * Every command leaves its results, then the status word, then the done
 * value (~code) in the command word, also when it fails. The controllers are
 * driven one command at a time: wait for FRDY, (page write: fill the page
 * latch), program the mode register with FWS = 1 and the FMCN of the command
 * kind, write the command with key 0x5A, poll until FRDY and judge LOCKE and
 * PROGE in that same status value (reading the status clears them).
 *
 * The stack is the 268 bytes between the applet buffer and the top of SRAM,
 * so the code stays flat: no recursion, no local arrays.
 */
#include "applet.h"

/* Status reads before a controller counts as hung: far above the longest
 * busy time (erase-all, about 15 ms = 720,000 master clock cycles), since
 * every poll takes several cycles. */
#define EFC_READY_POLLS 0x00400000u

static uint32_t efc_of_plane(uint32_t plane)
{
    return plane ? EFC1_BASE : EFC0_BASE;
}

/* Polls the status register until FRDY. Returns the status value that showed
 * FRDY (with that command's LOCKE and PROGE), or 0 when FRDY never came. */
static uint32_t efc_wait_ready(uint32_t efc)
{
    uint32_t polls = EFC_READY_POLLS;
    do {
        uint32_t sr = REG32(efc + EFC_SR);
        if (sr & EFC_SR_FRDY)
            return sr;
    } while (--polls);
    return 0;
}

/* Runs one controller command and waits for its end. The caller has waited
 * for FRDY already when it had to fill the page latch first. */
static uint32_t efc_command(uint32_t efc, uint32_t fmcn, uint32_t fcmd, uint32_t pagen)
{
    uint32_t sr;

    if (!efc_wait_ready(efc))
        return APPLET_ST_TIMEOUT;
    REG32(efc + EFC_MR) = EFC_MR_FMCN(fmcn) | EFC_MR_FWS(EFC_FWS_48MHZ);
    REG32(efc + EFC_CR) = EFC_CR_KEY | EFC_CR_PAGEN(pagen) | EFC_CR_FCMD(fcmd);
    sr = efc_wait_ready(efc);
    if (!sr)
        return APPLET_ST_TIMEOUT;
    if (sr & EFC_SR_LOCKE)
        return APPLET_ST_LOCKED;
    if (sr & EFC_SR_PROGE)
        return APPLET_ST_PROG_ERROR;
    return APPLET_ST_OK;
}

/* Checks the arguments of a write or read: whole pages inside the flash, and
 * a word-aligned buffer inside the applet buffer (anything else would copy
 * over the applet, its stack or the monitor). */
static uint32_t check_transfer(uint32_t buffer, uint32_t count, uint32_t offset)
{
    if ((count | offset) & (FLASH_PAGE_SIZE - 1))
        return APPLET_ST_BAD_RANGE;
    if (offset > FLASH_SIZE || count > FLASH_SIZE - offset)
        return APPLET_ST_BAD_RANGE;
    if ((buffer & 3) || buffer < FLASH_APPLET_BUFFER || buffer > FLASH_APPLET_BUFEND ||
        count > FLASH_APPLET_BUFEND - buffer)
        return APPLET_ST_BAD_BUFFER;
    return APPLET_ST_OK;
}

/* True when the page of flash at dst holds exactly the 64 words at src. */
static int page_holds(const volatile uint32_t *dst, const volatile uint32_t *src)
{
    uint32_t i;

    for (i = 0; i < FLASH_PAGE_WORDS; i++)
        if (dst[i] != src[i])
            return 0;
    return 1;
}

/* Writes count bytes from buffer to the flash at offset, page by page.
 * *done receives the bytes written before the first failure.
 *
 * A page whose flash already holds exactly its data is left alone: writing
 * it again would end with the same content and only cost the page's busy
 * time (after the full erase, every page of 0xFF bytes). It counts as
 * written. A page in a locked region is always written, so that it is
 * refused as before. */
static uint32_t flash_write(uint32_t buffer, uint32_t count, uint32_t offset, uint32_t *done)
{
    uint32_t status = check_transfer(buffer, count, offset);
    uint32_t n;

    if (status)
        return status;
    for (n = 0; n < count; n += FLASH_PAGE_SIZE) {
        uint32_t at = offset + n;
        uint32_t efc = efc_of_plane(at >> FLASH_PLANE_SHIFT);
        uint32_t page = (at >> FLASH_PAGE_SHIFT) & (FLASH_PLANE_PAGES - 1);
        volatile uint32_t *dst = (volatile uint32_t *)(FLASH_BASE + at);
        const volatile uint32_t *src = (const volatile uint32_t *)(buffer + n);
        uint32_t sr, i;

        sr = efc_wait_ready(efc);
        if (!sr) {
            status = APPLET_ST_TIMEOUT;
            break;
        }
        if (!(sr & EFC_SR_LOCKS(page / FLASH_REGION_PAGES)) && page_holds(dst, src))
            continue;
        /* The page latch takes the words at the page's own flash addresses. */
        for (i = 0; i < FLASH_PAGE_WORDS; i++)
            dst[i] = src[i];
        status = efc_command(efc, EFC_FMCN_WRITE, EFC_FCMD_WP, page);
        if (status)
            break;
    }
    *done = n;
    return status;
}

/* Copies count bytes of flash at offset into buffer. */
static uint32_t flash_read(uint32_t buffer, uint32_t count, uint32_t offset, uint32_t *done)
{
    uint32_t status = check_transfer(buffer, count, offset);
    const volatile uint32_t *src = (const volatile uint32_t *)(FLASH_BASE + offset);
    volatile uint32_t *dst = (volatile uint32_t *)buffer;
    uint32_t i;

    if (status)
        return status;
    for (i = 0; i < count / 4; i++)
        dst[i] = src[i];
    *done = count;
    return APPLET_ST_OK;
}

/* Erases both planes; stops at the first plane that refuses. */
static uint32_t flash_erase_all(uint32_t arg)
{
    uint32_t status;

    if (arg != 0)
        return APPLET_ST_BAD_ARG;
    status = efc_command(EFC0_BASE, EFC_FMCN_WRITE, EFC_FCMD_EA, 0);
    if (status)
        return status;
    return efc_command(EFC1_BASE, EFC_FMCN_WRITE, EFC_FCMD_EA, 0);
}

/* Sets (lock) or clears the lock bit of one of the 32 regions. */
static uint32_t flash_lock(uint32_t region, uint32_t fcmd)
{
    if (region >= FLASH_REGIONS)
        return APPLET_ST_BAD_ARG;
    return efc_command(efc_of_plane(region / FLASH_PLANE_REGIONS), EFC_FMCN_LOCK_GPNVM, fcmd,
                       (region % FLASH_PLANE_REGIONS) << FLASH_REGION_PAGE_SHIFT);
}

/* Sets (action 1) or clears (action 0) GPNVM bit 0-2 on controller 0. */
static uint32_t flash_gpnvm(uint32_t action, uint32_t bit)
{
    if (action > 1 || bit >= FLASH_GPNVM_BITS)
        return APPLET_ST_BAD_ARG;
    return efc_command(EFC0_BASE, EFC_FMCN_LOCK_GPNVM, action ? EFC_FCMD_SGPB : EFC_FCMD_CGPB,
                       bit);
}

void applet_command(volatile uint32_t *mb)
{
    uint32_t code = mb[MB_COMMAND];
    uint32_t status;
    uint32_t done = 0;

    if (code == APPLET_CMD_INIT) {
        mb[MB_ARG1] = FLASH_SIZE;
        mb[MB_ARG2] = FLASH_APPLET_BUFFER;
        mb[MB_ARG3] = FLASH_APPLET_BUFSIZE;
        mb[MB_ARG4] = FLASH_LOCK_LAYOUT;
        status = APPLET_ST_OK;
    } else if (code == APPLET_CMD_ERASE) {
        status = flash_erase_all(mb[MB_ARG1]);
    } else if (code == APPLET_CMD_WRITE || code == APPLET_CMD_READ) {
        uint32_t buffer = mb[MB_ARG1], count = mb[MB_ARG2], offset = mb[MB_ARG3];
        if (code == APPLET_CMD_WRITE)
            status = flash_write(buffer, count, offset, &done);
        else
            status = flash_read(buffer, count, offset, &done);
        mb[MB_ARG1] = done;
    } else if (code == APPLET_CMD_LOCK) {
        status = flash_lock(mb[MB_ARG1], EFC_FCMD_SLB);
    } else if (code == APPLET_CMD_UNLOCK) {
        status = flash_lock(mb[MB_ARG1], EFC_FCMD_CLB);
    } else if (code == APPLET_CMD_GPNVM) {
        status = flash_gpnvm(mb[MB_ARG1], mb[MB_ARG2]);
    } else {
        status = APPLET_ST_UNKNOWN_CMD;
    }
    mb[MB_STATUS] = status;
    mb[MB_COMMAND] = ~code; /* last: the host reads the command word first */
}
