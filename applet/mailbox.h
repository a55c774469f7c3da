// Applet loading, the SRAM mailbox and completion polling.
#ifndef QUILLMERE_APPLET_MAILBOX_H
#define QUILLMERE_APPLET_MAILBOX_H

#include <cstdint>

// Mailbox words (absolute target addresses).
constexpr uint32_t kMailboxCommand = 0x00202004;
constexpr uint32_t kMailboxStatus = 0x00202008;
constexpr uint32_t kMailboxArg1 = 0x0020200C;
constexpr uint32_t kMailboxArg2 = 0x00202010;
constexpr uint32_t kMailboxArg3 = 0x00202014;
constexpr uint32_t kMailboxArg4 = 0x00202018;
constexpr uint32_t kMailboxArg5 = 0x0020201C;

// Applet buffer target address [0] and size in bytes [1]; zero at start,
// written only by UploadApplets after each check passed.
extern uint32_t AppletInfo[2];

// Loads and starts InitApplet, then FlashApplet, checking every reply word.
// 0 on success; 121, 101-106, 201-206 (start-up applet), 321, 401-404,
// 447-451, 501 (flash applet) on failure.
int32_t UploadApplets();

// AppletInfo[1]: 0x5400 after a successful UploadApplets, else 0.
int32_t GetAppletBufferSize();

// One check of a transfer command's mailbox: 0 finished; 1 command word is
// not doneValue; 2 status word non-zero; 3 argument 1 is not count.
int32_t CheckAppletDone(int32_t count, int32_t doneValue);

// CheckAppletDone up to six times with a 2 ms pause after each failed check.
// Returns 0, or the sixth check's 1, 2 or 3.
int32_t WaitAppletDone(int32_t count, int32_t doneValue);

#endif
