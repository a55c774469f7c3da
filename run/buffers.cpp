// Buffers and values of the write and verify passes. Static storage, so no
// memory is allocated while a run proceeds.
#include "run/buffers.h"

int32_t ChunkSize = 0;
uint8_t TransferBuffer[32768];
uint8_t CompareBuffer[32768];
std::ifstream ProgramImage;
