// Puts the tool's process-wide state back to how a fresh process starts, so
// a fuzz target can run the whole tool again and again in one process.
#ifndef QUILLMERE_FUZZ_RESET_GLOBALS_H
#define QUILLMERE_FUZZ_RESET_GLOBALS_H

// Closes the program image and writes the start values into PortHandle,
// PortName, the frame buffers, the reply buffers, AppletInfo, FlashOffset,
// ChunkSize, file_name and VersionCode.
void ResetToolGlobals();

#endif
