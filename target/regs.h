/*
 * Registers, addresses and bits of the instrument's microcontroller that the
 * target images use: memory map, the two flash controllers, the debug serial
 * unit with its receive DMA, the USB device port, and the watchdog. Every
 * hardware figure of the images lives here, so that a correction is one edit.
 *
 * Usable from C and from assembly (.S): plain #defines only.
 */
#ifndef TARGET_REGS_H
#define TARGET_REGS_H

#ifndef __ASSEMBLER__
#include <stdint.h>
/* A 32-bit peripheral or memory word at an absolute address. */
#define REG32(addr) (*(volatile uint32_t *)(uintptr_t)(addr))
#endif

/* ---- Core clock ---------------------------------------------------------- */
#define MCK_HZ 48000000u /* master clock the boot monitor leaves running */

/* ---- Memory map ------------------------------------------------------------ */
#define FLASH_BASE          0x00100000u /* internal flash, read as ordinary memory */
#define FLASH_SIZE          0x00080000u /* 512 KiB in two planes */
#define FLASH_PLANE_SIZE    0x00040000u /* 256 KiB per plane, one controller each */
#define FLASH_PLANE_SHIFT   18          /* offset >> 18 = plane (controller) number */
#define FLASH_PAGE_SIZE     256u        /* bytes per page */
#define FLASH_PAGE_WORDS    64u         /* 32-bit words per page */
#define FLASH_PAGE_SHIFT    8
#define FLASH_PLANE_PAGES   1024u       /* pages per plane */
#define FLASH_REGION_SIZE   0x4000u     /* 16 KiB per lock region */
#define FLASH_REGION_PAGES  64u         /* pages per lock region */
#define FLASH_REGION_PAGE_SHIFT 6       /* (region mod 16) << 6 = first page */
#define FLASH_REGIONS       32u         /* 0-15 plane 0, 16-31 plane 1 */
#define FLASH_PLANE_REGIONS 16u
#define FLASH_GPNVM_BITS    3u          /* GPNVM0 to GPNVM2, controller 0 only */

#define SRAM_BASE 0x00200000u /* internal SRAM, 32 KiB */
#define SRAM_SIZE 0x00008000u
#define SRAM_END  0x00208000u /* first address past the SRAM */

#define ROM_BASE  0x00300000u /* the ROM boot monitor */
#define ROM_SIZE  0x00010000u /* 64 KiB, read-only */
#define ROM_END   0x00310000u /* first address past the boot ROM */

/* ---- Flash controllers ------------------------------------------------------ */
#define EFC0_BASE 0xFFFFFF60u /* controller of plane 0 */
#define EFC1_BASE 0xFFFFFF70u /* controller of plane 1 */
#define EFC_MR    0x00u       /* mode register (read/write) */
#define EFC_CR    0x04u       /* command register (write-only) */
#define EFC_SR    0x08u       /* status register (read-only; reading clears LOCKE, PROGE) */

/* Mode register */
#define EFC_MR_FRDY   (1u << 0)  /* interrupt on ready: leave 0 */
#define EFC_MR_LOCKE  (1u << 2)  /* interrupt on lock error: leave 0 */
#define EFC_MR_PROGE  (1u << 3)  /* interrupt on programming error: leave 0 */
#define EFC_MR_NEBP   (1u << 7)  /* 1: no erase before programming (use 0) */
#define EFC_MR_FWS(n)  ((uint32_t)(n) << 8)   /* flash wait states, bits 9:8 */
#define EFC_MR_FMCN(n) ((uint32_t)(n) << 16)  /* MCK cycles per microsecond figure, bits 23:16 */

#define EFC_FWS_48MHZ       1u  /* wait states for reads at 48 MHz */
#define EFC_FMCN_LOCK_GPNVM 48u /* cycles in 1 us: lock, unlock, GPNVM commands */
#define EFC_FMCN_WRITE      72u /* cycles in 1.5 us: page write, erase-all */

/* Command register */
#define EFC_CR_FCMD(c)  ((uint32_t)(c) & 0xFu)          /* bits 3:0 */
#define EFC_CR_PAGEN(p) (((uint32_t)(p) & 0x3FFu) << 8) /* bits 17:8 */
#define EFC_CR_KEY      (0x5Au << 24)                   /* bits 31:24, must be 0x5A */

#define EFC_FCMD_WP   0x1u /* write page */
#define EFC_FCMD_SLB  0x2u /* set lock bit */
#define EFC_FCMD_WPL  0x3u /* write page and lock */
#define EFC_FCMD_CLB  0x4u /* clear lock bit */
#define EFC_FCMD_EA   0x8u /* erase all (the controller's own plane) */
#define EFC_FCMD_SGPB 0xBu /* set GPNVM bit (PAGEN = bit number) */
#define EFC_FCMD_CGPB 0xDu /* clear GPNVM bit (PAGEN = bit number) */
#define EFC_FCMD_SSB  0xFu /* set security bit */

/* Status register */
#define EFC_SR_FRDY     (1u << 0)  /* 1: ready for a new command */
#define EFC_SR_LOCKE    (1u << 2)  /* a write or erase touched a locked region */
#define EFC_SR_PROGE    (1u << 3)  /* bad key or bad command */
#define EFC_SR_SECURITY (1u << 4)  /* the security bit is set */
#define EFC_SR_GPNVM(b) (1u << (8 + (b)))  /* GPNVM bits 10:8, controller 0 */
#define EFC_SR_LOCKS(r) (1u << (16 + (r))) /* lock bit of plane region r (0-15) */

/* ---- Debug serial unit --------------------------------------------------- */
#define DBGU_BASE 0xFFFFF200u
#define DBGU_CR   (DBGU_BASE + 0x00u)  /* control (write) */
#define DBGU_MR   (DBGU_BASE + 0x04u)  /* mode */
#define DBGU_IER  (DBGU_BASE + 0x08u)  /* interrupt enable */
#define DBGU_IDR  (DBGU_BASE + 0x0Cu)  /* interrupt disable */
#define DBGU_IMR  (DBGU_BASE + 0x10u)  /* interrupt mask */
#define DBGU_SR   (DBGU_BASE + 0x14u)  /* status (read) */
#define DBGU_RHR  (DBGU_BASE + 0x18u)  /* receive holding (read; clears RXRDY) */
#define DBGU_THR  (DBGU_BASE + 0x1Cu)  /* transmit holding (write) */
#define DBGU_BRGR (DBGU_BASE + 0x20u)  /* baud rate generator: CD */
#define DBGU_CIDR (DBGU_BASE + 0x40u)  /* chip identification (read) */
#define DBGU_EXID (DBGU_BASE + 0x44u)  /* chip identification extension (read) */
#define DBGU_RPR  (DBGU_BASE + 0x100u) /* DMA receive pointer */
#define DBGU_RCR  (DBGU_BASE + 0x104u) /* DMA receive counter, bits 15:0 */
#define DBGU_RNPR (DBGU_BASE + 0x110u) /* DMA next receive pointer */
#define DBGU_RNCR (DBGU_BASE + 0x114u) /* DMA next receive counter */
#define DBGU_PTCR (DBGU_BASE + 0x120u) /* DMA transfer control (write) */
#define DBGU_PTSR (DBGU_BASE + 0x124u) /* DMA transfer status (read) */

/* Control register */
#define DBGU_CR_RSTRX  (1u << 2)
#define DBGU_CR_RSTTX  (1u << 3)
#define DBGU_CR_RXEN   (1u << 4)
#define DBGU_CR_RXDIS  (1u << 5)
#define DBGU_CR_TXEN   (1u << 6)
#define DBGU_CR_TXDIS  (1u << 7)
#define DBGU_CR_RSTSTA (1u << 8) /* clears OVRE and FRAME */

/* Mode register */
#define DBGU_MR_PAR_NONE      (4u << 9)  /* parity bits 11:9 */
#define DBGU_MR_CHMODE_NORMAL (0u << 14) /* channel mode bits 15:14 */

/* Status register */
#define DBGU_SR_RXRDY   (1u << 0)  /* a received byte is waiting in RHR */
#define DBGU_SR_TXRDY   (1u << 1)  /* THR is free */
#define DBGU_SR_ENDRX   (1u << 3)  /* DMA receive counter reached 0 */
#define DBGU_SR_OVRE    (1u << 5)  /* a byte arrived while RXRDY was 1 and was lost */
#define DBGU_SR_FRAME   (1u << 6)
#define DBGU_SR_TXEMPTY (1u << 9)
#define DBGU_SR_RXBUFF  (1u << 11) /* both DMA receive counters are 0 */

/* DMA transfer control / status */
#define DBGU_PTCR_RXTEN  (1u << 0) /* start receiving into memory */
#define DBGU_PTCR_RXTDIS (1u << 1) /* stop receiving into memory */
#define DBGU_PTSR_RXTEN  (1u << 0)
#define DBGU_RCR_MAX     0xFFFFu   /* the counter is 16 bits wide */

/* Baud rate: baud = MCK / (16 x CD) */
#define DBGU_CD_115200 26u

/* ---- USB device port ---------------------------------------------------------
 * The instrument's link to the PC. The boot monitor leaves it on the bus,
 * addressed and configured, with its clocks, transceiver and pull-up on; the
 * images never write the power management controller or TXVC. */
#define USB_BASE     0xFFFB0000u
#define USB_FRM_NUM  (USB_BASE + 0x000u) /* frame number of the last start-of-frame (read) */
#define USB_GLB_STAT (USB_BASE + 0x004u) /* global state */
#define USB_FADDR    (USB_BASE + 0x008u) /* function address */
#define USB_IER      (USB_BASE + 0x010u) /* interrupt enable: leave 0, the images poll */
#define USB_IDR      (USB_BASE + 0x014u) /* interrupt disable */
#define USB_IMR      (USB_BASE + 0x018u) /* interrupt mask */
#define USB_ISR      (USB_BASE + 0x01Cu) /* interrupt status (read) */
#define USB_ICR      (USB_BASE + 0x020u) /* interrupt clear (write 1) */
#define USB_RST_EP   (USB_BASE + 0x028u) /* bit n: endpoint n held in reset until written 0 again */
#define USB_CSR(n)   (USB_BASE + 0x030u + 4u * (n)) /* endpoint n control and status */
#define USB_FDR(n)   (USB_BASE + 0x050u + 4u * (n)) /* endpoint n FIFO, one byte per access */
#define USB_TXVC     (USB_BASE + 0x074u) /* transceiver and pull-up: never written by the images */

/* GLB_STAT */
#define USB_GLB_FADDEN (1u << 0) /* the function address is set */
#define USB_GLB_CONFG  (1u << 1) /* the device is configured */

/* FADDR */
#define USB_FADDR_FADD_MASK 0x7Fu     /* function address, bits 6:0 */
#define USB_FADDR_FEN       (1u << 8) /* function enabled */

/* ISR and ICR */
#define USB_ISR_EPINT(n)   (1u << (n)) /* endpoint n has a CSR flag set */
#define USB_ISR_RXSUSP     (1u << 8)   /* the bus went idle (suspend) */
#define USB_ISR_RXRSM      (1u << 9)   /* the bus resumed */
#define USB_ISR_SOFINT     (1u << 11)  /* a start-of-frame came */
#define USB_ISR_ENDBUSRES  (1u << 12)  /* a bus reset ended: endpoints off, address and configuration gone */
#define USB_ISR_WAKEUP     (1u << 13)

/* CSRn. The flags TXCOMP, RX_DATA_BK0, RXSETUP, STALLSENT and RX_DATA_BK1 are
 * cleared by writing 0; writing 1 leaves them. A write shows a few clocks
 * later: read CSRn until it does before writing CSRn again or touching FDRn. */
#define USB_CSR_TXCOMP       (1u << 0)  /* the host took an IN packet */
#define USB_CSR_RX_DATA_BK0  (1u << 1)  /* an OUT packet is in bank 0 */
#define USB_CSR_RXSETUP      (1u << 2)  /* a SETUP packet (8 bytes) is in the FIFO */
#define USB_CSR_STALLSENT    (1u << 3)  /* a STALL went to the host */
#define USB_CSR_TXPKTRDY     (1u << 4)  /* write 1: the IN packet written to FDR may go; cleared by the port */
#define USB_CSR_FORCESTALL   (1u << 5)  /* the endpoint answers STALL */
#define USB_CSR_RX_DATA_BK1  (1u << 6)  /* an OUT packet is in bank 1 */
#define USB_CSR_DIR          (1u << 7)  /* control endpoint: the data stage goes to the host */
#define USB_CSR_EPTYPE_SHIFT 8
#define USB_CSR_EPTYPE_MASK  (7u << 8)  /* endpoint type, bits 10:8 */
#define USB_CSR_DTGLE        (1u << 11) /* data toggle of the endpoint's next packet (read) */
#define USB_CSR_EPEDS        (1u << 15) /* the endpoint is enabled */
#define USB_CSR_RXBYTECNT_SHIFT 16
#define USB_CSR_RXBYTECNT_MASK  (0x7FFu << 16) /* bytes of the received packet left in the FIFO (read) */
#define USB_CSR_FLAGS (USB_CSR_TXCOMP | USB_CSR_RX_DATA_BK0 | USB_CSR_RXSETUP | USB_CSR_STALLSENT | \
                       USB_CSR_RX_DATA_BK1) /* the write-0-to-clear flags */

/* EPTYPE values: bit 2 = IN, bits 1:0 = the transfer type of an endpoint
 * descriptor's bmAttributes (0 control, 1 isochronous, 2 bulk, 3 interrupt). */
#define USB_EPTYPE_CONTROL  0u
#define USB_EPTYPE_BULK_OUT 2u
#define USB_EPTYPE_BULK_IN  6u
#define USB_EPTYPE_IN       4u

/* Endpoints: 0 to 3 on every variant of the chip (0 control, 1 bulk OUT,
 * 2 bulk IN, 3 interrupt IN in the boot monitor's configuration), up to 8. */
#define USB_ENDPOINTS_MIN 4u
#define USB_ENDPOINTS_MAX 8u
#define USB_EP0_SIZE      8u  /* control endpoint FIFO: 8 bytes, 1 bank */
#define USB_BULK_SIZE     64u /* bulk endpoints: 64-byte packets, 2 banks */

/* Reads of CSRn after a write before the code goes on regardless: the sheet
 * gives "a few clocks" for a write to show; the bound only matters when the
 * port sets a just-cleared flag again (a new packet) before it could be seen. */
#define USB_CSR_SETTLE_READS 64u

/* ---- Watchdog ------------------------------------------------------------- */
#define WDT_BASE  0xFFFFFD40u
#define WDT_MR    (WDT_BASE + 0x04u) /* mode, write-once after reset */
#define WDT_MR_WDDIS (1u << 15)      /* disables the watchdog */

#endif /* TARGET_REGS_H */
