// The programming run: entry, job file, reconnection, the programming
// sequence, the write and verify passes and the end-of-run sequence.
#ifndef QUILLMERE_RUN_RUN_H
#define QUILLMERE_RUN_RUN_H

#include <cstdint>

// Chip identification register and the identity it must show under the mask
// (the mask leaves out the low version bits and the second flash-size field).
constexpr uint32_t kChipIdAddress = 0xFFFFF240;
constexpr uint32_t kChipIdMask = 0xFFFF0FF0;
constexpr uint32_t kChipIdValue = 0x272A0A40;

// Name of the job file, read from the working directory.
constexpr const char* kJobFileName = "f_write.txt";

// Largest image the passes carry: 24 chunks of 0x5400 bytes.
constexpr int64_t kMaxImageSize = 24 * 0x5400;

// Image file name read from the job file: up to 99 bytes and a NUL.
extern char file_name[101];

// Ten times the monitor's major version digit as QueryVersion returned it,
// or its failure code; 10 and 20 are supported.
extern int32_t VersionCode;

// One whole run: banner, job file, image, device search, prompt check,
// reconnection, the programming sequence and the end-of-run sequence.
// Prints its progress, shows one notice (or none after Cancel / No, No) and
// always returns 0.
int RunProgramming();

// The second half of a run, from the version query to the final notice.
// Every outcome has printed its console line and shown its notice when it
// returns; the caller then runs the end-of-run sequence.
void ProgrammingSequence();

// Write pass: the image in chunks of ChunkSize into flash from offset 0.
// 0 on success (" OK \n" printed); 1 after the failure line and
// ShowProgrammingFailedNotice.
int32_t WritePass();

// Verify pass: reads every chunk back and compares it with the image.
// 0 on success (" OK \n" printed); 1 after the failure line (or mismatch
// report) and ShowProgrammingFailedNotice.
int32_t VerifyPass();

// Returns the monitor to terminal mode, closes the port and the image.
// Results are ignored; safe when no port is open or the image is closed.
void EndOfRun();

#endif
