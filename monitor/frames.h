// The boot monitor's ASCII command frames, built in two shared buffers.
// Every frame leaves in one WritePort call of exactly its own length.
#ifndef QUILLMERE_MONITOR_FRAMES_H
#define QUILLMERE_MONITOR_FRAMES_H

#include <cstdint>

// Mode frames (N#, T#, V#\n, #\n); starts as 'N', '#', 0, 0.
extern uint8_t ModeFrame[4];

// Address frames; starts as 'W', eight '0', ',', eight '0', '#', 0. Always
// holds the current frame NUL-terminated behind its last sent byte.
extern uint8_t CommandFrame[20];

// Reply bytes of the word read (4) and the byte read (byte 0); never cleared.
extern uint8_t ReadReply[4];

// Load address of the SRAM monitor and of the applets.
constexpr uint32_t kSramMonitorBase = 0x00200000;
constexpr uint32_t AppletBase = 0x00202000;

// Writes the 8 uppercase hex digits of address at CommandFrame[1..8].
void EncodeAddress(uint32_t address);

// Writes value digits from CommandFrame[10]: width 1 -> 2 digits, 2 -> 4,
// 4 -> 8, any other width -> 2. Higher bits are dropped.
void EncodeValue(uint32_t value, int32_t width);

// "W<addr>,<8 digits>#" (19 bytes). 0 sent, 1 WritePort failed.
int WriteWord(uint32_t address, uint32_t value);

// "H<addr>,<4 digits>#" (15 bytes). 0 sent, 1 WritePort failed. Unused by the run.
int WriteHalfWord(uint32_t address, uint16_t value);

// "O<addr>,<2 digits>#" (13 bytes). 0 sent, 1 WritePort failed. Unused by the run.
int WriteOctet(uint32_t address, uint8_t value);

// "w<addr>,4#" (12 bytes), then reads 4 bytes into ReadReply. Returns the
// little-endian word built from ReadReply (also after a short read), or 0
// without reading when the frame could not be sent.
uint32_t ReadWord(uint32_t address);

// "o<addr>,4#" (12 bytes), then reads 1 byte into ReadReply[0] and returns
// it; 0 without reading when the frame could not be sent.
uint8_t ReadOctet(uint32_t address);

// "S<addr>,<8 length digits>#" (19 bytes), then the length bytes in a second
// write. 0 both sent; 1 the frame failed (no data sent); 2 the data failed.
int SendData(uint32_t address, uint32_t length, const uint8_t* bytes);

// SendData(0x00200000, 5392, SramMonitorImage). Results as SendData.
int StartSramMonitorUpload();

// SendData(AppletBase, length, image). Results as SendData.
int SendApplet(uint32_t length, const uint8_t* image);

// "R<addr>,<8 count digits>#" (19 bytes), then reads exactly count bytes
// into destination. 0 received; 1 the frame's write failed (nothing read);
// 2 the data read failed or came short.
int ReceiveData(uint32_t address, uint32_t count, uint8_t* destination);

// "G<addr>#" (10 bytes); nothing is read. 0 sent, 1 WritePort failed.
int Go(uint32_t address);

#endif
