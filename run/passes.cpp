// The write and verify passes: the program image in chunks of ChunkSize,
// through the flash applet's buffer, from flash offset 0 on.
#include <cstring>

#include "applet/flash.h"
#include "applet/mailbox.h"
#include "run/buffers.h"
#include "run/console.h"
#include "run/notices.h"
#include "run/run.h"

namespace {

// Host buffer size; ChunkSize never exceeds it.
constexpr int32_t kHostBufferSize = 32768;
// At most this many chunks per pass.
constexpr int16_t kMaxChunks = 24;
// Done value of the applet's write command 2.
constexpr int32_t kWriteDone = -3;
// Target address of flash offset 0, and the chunk stride of the mismatch
// address (the only applet buffer size UploadApplets accepts).
constexpr uint32_t kFlashBase = 0x100000;
constexpr uint32_t kChunkStride = 0x5400;

// " error N ", code, " \n", then ShowProgrammingFailedNotice. Returns 1.
int32_t PassFailed(int32_t code) {
    Say(" error N ");
    SayDecimal(code);
    Say(" \n");
    ShowProgrammingFailedNotice();
    return 1;
}

// Fills the first ChunkSize bytes of buffer from the image, zero beyond its
// end. A short read leaves the stream at end of file. Returns false when the
// image could not be read (a read error, not its end): the rest of the chunk
// would be zeros that both passes agree on, and a truncated image would be
// written and verified as if complete.
bool ReadImageChunk(uint8_t* buffer) {
    std::memset(buffer, 0, static_cast<size_t>(ChunkSize));
    ProgramImage.read(reinterpret_cast<char*>(buffer), ChunkSize);
    return !ProgramImage.bad();
}

// " error image read \n", then ShowProgrammingFailedNotice. Returns 1.
int32_t ImageReadFailed() {
    Say(" error image read \n");
    ShowProgrammingFailedNotice();
    return 1;
}

// A dot after every second chunk.
void ChunkDone(int16_t counter) {
    if (counter % 2 == 0) Say(".");
}

}  // namespace

int32_t WritePass() {
    Say(" 7. Write flash ..");
    ChunkSize = GetAppletBufferSize();
    if (ChunkSize > kHostBufferSize) ChunkSize = kHostBufferSize;
    ResetFlashOffset();

    int16_t counter = 0;
    int32_t r = 0;
    do {
        // The next chunk is read while the applet still writes the previous
        // one; it is sent only after that write has been confirmed.
        if (!ReadImageChunk(TransferBuffer)) return ImageReadFailed();
        if (counter > 0) {
            r = WaitAppletDone(ChunkSize, kWriteDone);
            if (r != 0) return PassFailed(r + 900);
        }
        r = WriteChunk(ChunkSize);
        if (r != 0) return PassFailed(r);
        ++counter;
        ChunkDone(counter);
    } while (counter < kMaxChunks && !ProgramImage.eof());

    // A seek on a failed stream does nothing: clear the flags first.
    ProgramImage.clear();
    ProgramImage.seekg(0, std::ios::beg);

    r = WaitAppletDone(ChunkSize, kWriteDone);
    if (r != 0) return PassFailed(r + 900);
    Say(" OK \n");
    return 0;
}

int32_t VerifyPass() {
    Say(" 8. Compare ..");
    int16_t counter = 0;
    ResetFlashOffset();
    do {
        if (!ReadImageChunk(CompareBuffer)) return ImageReadFailed();
        int32_t r = ReadChunk(ChunkSize);
        if (r != 0) return PassFailed(r);
        r = FetchChunk(ChunkSize);
        if (r != 0) return PassFailed(r);
        for (int32_t j = 0; j < ChunkSize; ++j) {
            if (CompareBuffer[j] != TransferBuffer[j]) {
                Say(" Error ! ");
                Say(" \n");
                Say("ADR = ");
                SayHex(kFlashBase + static_cast<uint32_t>(counter) * kChunkStride + static_cast<uint32_t>(j));
                Say(" , DFILE = ");
                SayHex(CompareBuffer[j]);
                Say(" , DFLASH = ");
                SayHex(TransferBuffer[j]);
                Say(" \n");
                ShowProgrammingFailedNotice();
                return 1;
            }
        }
        ++counter;
        ChunkDone(counter);
    } while (counter < kMaxChunks && !ProgramImage.eof());
    Say(" OK \n");
    return 0;
}
