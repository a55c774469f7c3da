/*
 * What the two applets share: their place in SRAM, the mailbox words, the
 * command codes and the status codes they leave in the status word.
 *
 * Usable from C and from assembly (.S).
 */
#ifndef TARGET_APPLET_H
#define TARGET_APPLET_H

#include "regs.h"

/* ---- Layout of an applet image at APPLET_BASE -------------------------------
 * 0x00  branch to the entry code at 0x88 (0xEA000020)
 * 0x04  mailbox, 32 words, zero in the image (the host uses the first seven)
 * 0x84  "variables prepared" flag, zero in the image
 * 0x88  entry code: saves the caller's sp, r4-r11 and lr, sets sp to
 *       APPLET_STACK_TOP, clears the variables on the first start, calls
 *       applet_command(APPLET_MAILBOX), restores and returns with bx lr.
 */
#define APPLET_BASE      0x00202000u
#define APPLET_MAILBOX   0x00202004u
#define APPLET_STACK_TOP 0x00208000u /* = SRAM_END; the stack grows down from here */

/* Flash applet: image end, its variables, and the buffer it reports. */
#define FLASH_APPLET_VARS    0x002029D8u /* right after the 2520-byte image */
#define FLASH_APPLET_BUFFER  0x00202AF4u /* end of the variables */
#define FLASH_APPLET_BUFSIZE 0x00005400u /* 21504 bytes, up to 0x00207EF3 */
#define FLASH_APPLET_BUFEND  (FLASH_APPLET_BUFFER + FLASH_APPLET_BUFSIZE)
/* Lock region layout word of the init reply: 32 regions of 0x4000 bytes. */
#define FLASH_LOCK_LAYOUT    ((FLASH_REGIONS << 16) | FLASH_REGION_SIZE)

/* ---- Mailbox word indices (32-bit words from APPLET_MAILBOX) -------------- */
#define MB_COMMAND 0 /* host: command code; applet: done value = ~code, written last */
#define MB_STATUS  1 /* applet: 0 success, else one of the APPLET_ST_ codes */
#define MB_ARG1    2
#define MB_ARG2    3
#define MB_ARG3    4
#define MB_ARG4    5
#define MB_ARG5    6

/* ---- Command codes ----------------------------------------------------------- */
#define APPLET_CMD_INIT   0 /* start-up applet: prepare the chip; flash applet: report geometry */
#define APPLET_CMD_ERASE  1 /* erase both planes; arg1 = 0 */
#define APPLET_CMD_WRITE  2 /* arg1 buffer, arg2 byte count, arg3 flash offset; answers arg1 = bytes written */
#define APPLET_CMD_READ   3 /* same arguments; answers arg1 = bytes read */
#define APPLET_CMD_LOCK   4 /* arg1 region 0-31 */
#define APPLET_CMD_UNLOCK 5 /* arg1 region 0-31 */
#define APPLET_CMD_GPNVM  6 /* arg1 1 set / 0 clear, arg2 bit 0-2 */

/* ---- Status codes (status word) ------------------------------------------- */
#define APPLET_ST_OK          0 /* the command finished */
#define APPLET_ST_LOCKED      1 /* the controller refused with LOCKE: a locked region */
#define APPLET_ST_PROG_ERROR  2 /* the controller reported PROGE (bad key or command) */
#define APPLET_ST_BAD_ARG     3 /* region > 31, GPNVM bit > 2, GPNVM action not 0/1, erase arg1 not 0 */
#define APPLET_ST_BAD_RANGE   4 /* offset or count not whole pages, or past the end of the flash */
#define APPLET_ST_BAD_BUFFER  5 /* buffer not word aligned or not inside the applet buffer */
#define APPLET_ST_UNKNOWN_CMD 6 /* command code not served by this applet */
#define APPLET_ST_TIMEOUT     7 /* a flash controller did not become ready */

#ifndef __ASSEMBLER__
/* The command handler the entry code calls; mailbox = APPLET_MAILBOX. */
void applet_command(volatile uint32_t *mailbox);
#endif

#endif /* TARGET_APPLET_H */
