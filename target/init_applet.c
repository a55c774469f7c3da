/*
 * Start-up applet: prepares the chip for a flash session.
 *
 * Command 0 (init) sets one flash wait state for the 48 MHz master clock on
 * both flash controllers and writes the watchdog mode register with WDDIS
 * (the boot monitor has disabled the watchdog already; the register is
 * write-once, so the write is harmless). It answers status 0 and the
 * arguments 0, 4, 0, 0, whatever the host wrote into them.
 */
#include "applet.h"

void applet_command(volatile uint32_t *mb)
{
    uint32_t code = mb[MB_COMMAND];
    uint32_t status = APPLET_ST_OK;

    if (code == APPLET_CMD_INIT) {
        /* FMCN 72 keeps the mode register complete for 48 MHz; NEBP stays 0. */
        uint32_t mode = EFC_MR_FWS(EFC_FWS_48MHZ) | EFC_MR_FMCN(EFC_FMCN_WRITE);
        REG32(EFC0_BASE + EFC_MR) = mode;
        REG32(EFC1_BASE + EFC_MR) = mode;
        REG32(WDT_MR) = WDT_MR_WDDIS;
        mb[MB_ARG1] = 0;
        mb[MB_ARG2] = 4;
        mb[MB_ARG3] = 0;
        mb[MB_ARG4] = 0;
    } else {
        status = APPLET_ST_UNKNOWN_CMD;
    }
    mb[MB_STATUS] = status;
    mb[MB_COMMAND] = ~code; /* last: the host reads the command word first */
}
