// A scratch working directory for the fuzz targets, made once per process.
#ifndef QUILLMERE_FUZZ_FUZZ_WORKDIR_H
#define QUILLMERE_FUZZ_FUZZ_WORKDIR_H

#include <cstddef>
#include <cstdint>

// Creates a fresh directory under $TMPDIR (or /tmp), makes it the working
// directory and returns its path. Aborts when that fails.
const char* EnterScratchDirectory(const char* tag);

// Writes size bytes to path (created or truncated). Aborts on failure.
void WriteWholeFile(const char* path, const uint8_t* data, size_t size);

// The console log goes to /dev/null unless QUILLMERE_FUZZ_TRACE is set, in
// which case the fuzz device also traces its events. Returns the trace flag.
int QuietConsole();

#endif
