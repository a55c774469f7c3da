/*
 * Registers, addresses and bits of the instrument's microcontroller that the
 * target images use: memory map, the two flash controllers, the debug serial
 * unit with its receive DMA, and the watchdog. Every hardware figure of the
 * images lives here, so that a correction is one edit.
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

/* ---- Watchdog ------------------------------------------------------------- */
#define WDT_BASE  0xFFFFFD40u
#define WDT_MR    (WDT_BASE + 0x04u) /* mode, write-once after reset */
#define WDT_MR_WDDIS (1u << 15)      /* disables the watchdog */

#endif /* TARGET_REGS_H */
