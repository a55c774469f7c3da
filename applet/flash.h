// Flash operations, each one or more flash-applet commands via the mailbox.
#ifndef QUILLMERE_APPLET_FLASH_H
#define QUILLMERE_APPLET_FLASH_H

#include <cstdint>

// Flash byte offset of the next write or read command; zero at start.
extern int32_t FlashOffset;

// Unlocks regions 0-31 (a dot after every fourth), then erases all flash.
// 0; 80-83 unlock; 84, 85 erase command; 86 erase status ("+ " printed).
int32_t UnlockAndEraseAll();

// S frame to address with the first count bytes of TransferBuffer.
// 0; 1 frame failed; 2 data failed.
int32_t SendChunk(uint32_t address, int32_t count);

// SendChunk to the applet buffer, then command 2 at FlashOffset; does not
// wait. 0; 701, 702; 721-724; 731. Advances FlashOffset after the Go.
int32_t WriteChunk(int32_t count);

// FlashOffset = 0.
void ResetFlashOffset();

// Command 3 at FlashOffset, then WaitAppletDone(count, -4).
// 0; 521-524; 531; 541-543. Advances FlashOffset after the Go.
int32_t ReadChunk(int32_t count);

// R frame for count - 1 bytes of the applet buffer into TransferBuffer, then
// the last byte with a byte read. 0; 564 frame failed; 565 data failed.
int32_t FetchChunk(int32_t count);

// Locks regions 0-31, a dot after every fourth. 0; 380-383.
int32_t LockAllRegions();

// Command 6 (GPNVM bit 2). 0; 371-373; 361; 362.
int32_t SetGpnvm2();

#endif
