// The USB device port's register map at 0xFFFB0000, bit names as in the chip
// sheet: what code, and the native ROM monitor, use to drive the port. The
// port's behaviour behind them is in usb_port.h.
#ifndef QUILLMERE_SIM_CHIP_USB_REGS_H
#define QUILLMERE_SIM_CHIP_USB_REGS_H

#include <cstdint>

namespace sim {

constexpr uint32_t kUsbBase = 0xFFFB0000;
constexpr uint32_t kUsbSize = 0x4000;

// Register offsets from kUsbBase.
constexpr uint32_t kUsbFrmNum = 0x000;
constexpr uint32_t kUsbGlbStat = 0x004;
constexpr uint32_t kUsbFaddr = 0x008;
constexpr uint32_t kUsbIer = 0x010;
constexpr uint32_t kUsbIdr = 0x014;
constexpr uint32_t kUsbImr = 0x018;
constexpr uint32_t kUsbIsr = 0x01C;
constexpr uint32_t kUsbIcr = 0x020;
constexpr uint32_t kUsbRstEp = 0x028;
constexpr uint32_t kUsbCsr0 = 0x030;  // + 4n
constexpr uint32_t kUsbFdr0 = 0x050;  // + 4n
constexpr uint32_t kUsbTxvc = 0x074;

// FRM_NUM
constexpr uint32_t kFrmNumMask = 0x7FF;
constexpr uint32_t kFrmErr = 1u << 16;
constexpr uint32_t kFrmOk = 1u << 17;
// GLB_STAT
constexpr uint32_t kGlbFadden = 1u << 0;
constexpr uint32_t kGlbConfg = 1u << 1;
constexpr uint32_t kGlbEsr = 1u << 2;
constexpr uint32_t kGlbRsminpr = 1u << 3;
constexpr uint32_t kGlbRmwupe = 1u << 4;
// FADDR
constexpr uint32_t kFaddrFaddMask = 0x7F;
constexpr uint32_t kFaddrFen = 1u << 8;
// ISR / ICR / IER / IDR / IMR
constexpr uint32_t kIsrEpInt(int n) { return 1u << n; }
constexpr uint32_t kIsrRxsusp = 1u << 8;
constexpr uint32_t kIsrRxrsm = 1u << 9;
constexpr uint32_t kIsrSofint = 1u << 11;
constexpr uint32_t kIsrEndbusres = 1u << 12;
constexpr uint32_t kIsrWakeup = 1u << 13;
// CSRn
constexpr uint32_t kCsrTxcomp = 1u << 0;
constexpr uint32_t kCsrRxDataBk0 = 1u << 1;
constexpr uint32_t kCsrRxsetup = 1u << 2;
constexpr uint32_t kCsrStallsent = 1u << 3;
constexpr uint32_t kCsrTxpktrdy = 1u << 4;
constexpr uint32_t kCsrForcestall = 1u << 5;
constexpr uint32_t kCsrRxDataBk1 = 1u << 6;
constexpr uint32_t kCsrDir = 1u << 7;
constexpr uint32_t kCsrEptypeShift = 8;
constexpr uint32_t kCsrEptypeMask = 7u << 8;
constexpr uint32_t kCsrDtgle = 1u << 11;
constexpr uint32_t kCsrEpeds = 1u << 15;
constexpr uint32_t kCsrRxbytecntShift = 16;
constexpr uint32_t kCsrRxbytecntMask = 0x7FFu << 16;
// The flags cleared by writing 0.
constexpr uint32_t kCsrW0cFlags = kCsrTxcomp | kCsrRxDataBk0 | kCsrRxsetup | kCsrStallsent | kCsrRxDataBk1;
// EPTYPE values.
constexpr uint32_t kEptypeControl = 0;
constexpr uint32_t kEptypeIsoOut = 1;
constexpr uint32_t kEptypeBulkOut = 2;
constexpr uint32_t kEptypeIntOut = 3;
constexpr uint32_t kEptypeIsoIn = 5;
constexpr uint32_t kEptypeBulkIn = 6;
constexpr uint32_t kEptypeIntIn = 7;
// TXVC
constexpr uint32_t kTxvcTxvdis = 1u << 8;
constexpr uint32_t kTxvcPuon = 1u << 9;

// Endpoints a port can have (CSR0 to CSR7, FDR0 to FDR7).
constexpr int kUsbMaxEndpoints = 8;

}  // namespace sim

#endif
