// Scripts of the flash applet's mailbox traffic for the unit tests: what a
// device that answers every applet command correctly exchanges on the wire.
#ifndef QUILLMERE_APPLET_TEST_SCRIPTS_H
#define QUILLMERE_APPLET_TEST_SCRIPTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "applet/images.h"
#include "platform/fake_platform.h"
#include "serial/port.h"
#include "serial/search.h"

namespace script {

constexpr uint32_t kBase = 0x00202000;
constexpr uint32_t kCmd = 0x00202004;
constexpr uint32_t kStatus = 0x00202008;
constexpr uint32_t kArg1 = 0x0020200C;
constexpr uint32_t kArg2 = 0x00202010;
constexpr uint32_t kArg3 = 0x00202014;
constexpr uint32_t kArg4 = 0x00202018;
constexpr uint32_t kArg5 = 0x0020201C;
constexpr uint32_t kBuffer = 0x00202AF4;
constexpr uint32_t kChunk = 0x5400;

inline std::string Bytes(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// Forgets the fake's state and opens "\\.\COM3" as the serial link would;
// the open is not part of any script.
inline fake::Device& OpenDevice() {
    fake::Reset();
    PortHandle = nullptr;
    fake::Device& d = fake::AddPort(3);
    SetPortNumber(3);
    OpenPort();
    return d;
}

// Number of word-read frames ("w...") sent so far.
inline int WordReads() {
    int n = 0;
    for (const std::string& c : fake::Calls()) n += c.compare(0, 7, "write w") == 0;
    return n;
}

// One step of an applet exchange, for tables that fail one step at a time.
struct Op {
    enum Kind { kSend, kWrite, kGo, kRead } kind;
    uint32_t address;
    uint32_t value;       // word written or read back
    int32_t code;         // code of the step when it fails
    std::string data;     // image of a kSend
};

// The exchange of a successful UploadApplets, with every step's code.
inline std::vector<Op> UploadOps() {
    std::vector<Op> ops = {
        {Op::kSend, kBase, 0, 121, Bytes(InitApplet, sizeof InitApplet)},
        {Op::kWrite, kCmd, 0, 101, ""},  {Op::kWrite, kArg1, 0, 102, ""}, {Op::kWrite, kArg2, 4, 103, ""},
        {Op::kWrite, kArg3, 0, 104, ""}, {Op::kWrite, kArg4, 0, 105, ""}, {Op::kWrite, kArg5, 0, 106, ""},
        {Op::kGo, kBase, 0, 0, ""},
        {Op::kRead, kCmd, 0xFFFFFFFF, 201, ""}, {Op::kRead, kStatus, 0, 202, ""}, {Op::kRead, kArg1, 0, 203, ""},
        {Op::kRead, kArg2, 4, 204, ""},         {Op::kRead, kArg3, 0, 205, ""},
        {Op::kRead, kArg4, 0, 206, ""},         {Op::kRead, kArg4, 0, 206, ""}, {Op::kRead, kArg4, 0, 206, ""},
        {Op::kSend, kBase, 0, 321, Bytes(FlashApplet, sizeof FlashApplet)},
        {Op::kWrite, kCmd, 0, 401, ""},  {Op::kWrite, kArg1, 0, 402, ""}, {Op::kWrite, kArg2, 4, 403, ""},
        {Op::kWrite, kArg3, 0, 404, ""},
        {Op::kGo, kBase, 0, 0, ""},
        {Op::kRead, kCmd, 0xFFFFFFFF, 447, ""}, {Op::kRead, kStatus, 0, 448, ""},
        {Op::kRead, kArg1, 0x00080000, 449, ""}, {Op::kRead, kArg2, kBuffer, 450, ""},
        {Op::kRead, kArg3, kChunk, 451, ""},
        {Op::kRead, kArg4, 0x00204000, 501, ""}, {Op::kRead, kArg4, 0x00204000, 501, ""},
        {Op::kRead, kArg4, 0x00204000, 501, ""},
    };
    return ops;
}

// Scripts one step as a device that answers it correctly.
inline void Play(fake::Device& d, const Op& op) {
    switch (op.kind) {
        case Op::kSend: d.ExpectSendData(op.address, op.data); break;
        case Op::kWrite: d.ExpectWord(op.address, op.value); break;
        case Op::kGo: d.ExpectGo(op.address); break;
        case Op::kRead: d.ExpectReadWord(op.address, op.value); break;
    }
}

inline void UploadOk(fake::Device& d) {
    for (const Op& op : UploadOps()) Play(d, op);
}

// One mailbox check that finds a transfer command finished.
inline void DoneCheck(fake::Device& d, uint32_t done, uint32_t count) {
    d.ExpectReadWord(kCmd, done).ExpectReadWord(kStatus, 0).ExpectReadWord(kArg1, count);
}

// One lock or unlock command on one region, answered with its done value.
inline void RegionOk(fake::Device& d, uint32_t command, uint32_t region) {
    d.ExpectWord(kCmd, command).ExpectWord(kArg1, region).ExpectGo(kBase);
    d.ExpectReadWord(kCmd, ~command).ExpectReadWord(kStatus, 0);
}

inline void UnlockEraseOk(fake::Device& d) {
    for (uint32_t r = 0; r < 32; ++r) RegionOk(d, 5, r);
    d.ExpectWord(kCmd, 1).ExpectWord(kArg1, 0).ExpectGo(kBase);
    d.ExpectReadWord(kCmd, 0xFFFFFFFE).ExpectReadWord(kStatus, 0);
}

inline void LockOk(fake::Device& d) {
    for (uint32_t r = 0; r < 32; ++r) RegionOk(d, 4, r);
}

inline void GpnvmOk(fake::Device& d) {
    d.ExpectWord(kCmd, 6).ExpectWord(kArg1, 1).ExpectWord(kArg2, 2).ExpectGo(kBase);
    d.ExpectReadWord(kCmd, 0xFFFFFFF9).ExpectReadWord(kStatus, 0);
}

// Command words and Go of a transfer command (2 write, 3 read).
inline void TransferStart(fake::Device& d, uint32_t command, uint32_t count, uint32_t offset) {
    d.ExpectWord(kCmd, command).ExpectWord(kArg1, kBuffer).ExpectWord(kArg2, count).ExpectWord(kArg3, offset);
    d.ExpectGo(kBase);
}

// WriteChunk of data (its size is the count) at offset.
inline void WriteChunkOk(fake::Device& d, const std::string& data, uint32_t offset) {
    d.ExpectSendData(kBuffer, data);
    TransferStart(d, 2, uint32_t(data.size()), offset);
}

// ReadChunk at offset, finished at the first check.
inline void ReadChunkOk(fake::Device& d, uint32_t count, uint32_t offset) {
    TransferStart(d, 3, count, offset);
    DoneCheck(d, 0xFFFFFFFC, count);
}

// FetchChunk of a whole applet buffer holding flash.
inline void FetchChunkOk(fake::Device& d, const std::string& flash) {
    d.ExpectReceiveData(kBuffer, flash.substr(0, flash.size() - 1));
    d.ExpectReadOctet(0x00207EF3, uint8_t(flash.back()));
}

}  // namespace script

#endif
