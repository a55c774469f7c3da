// Buffers and values of the write and verify passes, shared with the flash
// operations (TransferBuffer) and the end-of-run sequence (ProgramImage).
#ifndef QUILLMERE_RUN_BUFFERS_H
#define QUILLMERE_RUN_BUFFERS_H

#include <cstdint>
#include <fstream>

// Transfer unit of both passes in bytes: the applet buffer size, capped at 32768.
extern int32_t ChunkSize;
// File data (write pass) or flash read-back (verify pass) of the current chunk.
extern uint8_t TransferBuffer[32768];
// File data of the current chunk in the verify pass.
extern uint8_t CompareBuffer[32768];
// The program image, open from its opening to the end-of-run sequence.
extern std::ifstream ProgramImage;

#endif
