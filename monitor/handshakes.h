// Mode, version and monitor-start handshakes, sent from ModeFrame.
#ifndef QUILLMERE_MONITOR_HANDSHAKES_H
#define QUILLMERE_MONITOR_HANDSHAKES_H

#include <cstdint>

// "N#", expects "\n\r". 0 accepted; 1 send failed; 2 read failed; 4 other answer.
int EnterNormalMode();

// "T#", expects reply bytes 1 and 2 to be '\r' '>' (the ROM monitor's prompt).
// 0, 1, 2, 4 as EnterNormalMode.
int CheckTerminalPrompt();

// "T#", expects reply bytes 1 and 2 to be '\r' '\n' (the SRAM monitor).
// 0, 1, 2, 4 as EnterNormalMode.
int CheckTerminalMode();

// "T#" without reading an answer. Returns WritePort's result (0, 1, 2).
int ReturnToTerminal();

// "V#\n", reads and prints the version text after "Chip ver : ", "#\n",
// purges, reopens the port with long profile A and 8192-byte queues, then
// "N#". Returns VersionCode (ten times the major digit) on success, or
// 1, 41, 42, 87, 61, 62, 51, 52, 4 (never a multiple of 10) on failure.
int32_t QueryVersion();

#endif
