#include "sim/chip/usb_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
namespace {

constexpr uint8_t kAddress = 5;
constexpr uint32_t kFieldBits = kCsrForcestall | kCsrDir | kCsrEptypeMask | kCsrEpeds;
constexpr uint32_t kRxBanks = kCsrRxDataBk0 | kCsrRxDataBk1;

uint32_t Csr(int n) { return kUsbCsr0 + 4 * static_cast<uint32_t>(n); }
uint32_t Fdr(int n) { return kUsbFdr0 + 4 * static_cast<uint32_t>(n); }
uint32_t Type(uint32_t eptype) { return kCsrEpeds | (eptype << kCsrEptypeShift); }
uint32_t ByteCount(uint32_t csr) { return (csr & kCsrRxbytecntMask) >> kCsrRxbytecntShift; }
std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

// A port on the bus, configured as the boot monitor leaves it (address 5,
// endpoints 0 to 3 as its table), driven the way careful firmware does.
struct Bench {
    explicit Bench(int endpoints = 4, bool configure = true)
        : port(UsbPortOptions{endpoints, [this](const std::string& n) { notes.push_back(n); }}) {
        if (!configure) return;
        port.PowerOn();
        Write(kUsbFaddr, kFaddrFen | kAddress);
        SetCsr(0, Type(kEptypeControl));
        SetCsr(1, Type(kEptypeBulkOut));
        SetCsr(2, Type(kEptypeBulkIn));
        SetCsr(3, Type(kEptypeIntIn));
        port.TakeBusChange();
    }
    uint32_t Read(uint32_t offset) {
        uint32_t v = 0;
        EXPECT_TRUE(port.Read(offset, ++now, &v)) << offset;
        return v;
    }
    void Write(uint32_t offset, uint32_t v) { EXPECT_TRUE(port.Write(offset, v, ++now)) << offset; }
    // Writes CSRn and reads it once the write has shown (the longest delay passed).
    void SetCsr(int n, uint32_t v) {
        Write(Csr(n), v);
        Settle();
        Read(Csr(n));
    }
    void Settle() { now += kCsrSettleMaxCycles; }
    // Changes one thing the sheet's way: the other flags written 1, fields as read, TXPKTRDY 0.
    void ClearFlag(int n, uint32_t flag) { SetCsr(n, (Read(Csr(n)) & kFieldBits) | (kCsrW0cFlags & ~flag)); }
    void ReleaseIn(int n) { SetCsr(n, (Read(Csr(n)) & kFieldBits) | (kCsrW0cFlags & ~kCsrTxcomp) | kCsrTxpktrdy); }
    void Fill(int n, const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) Write(Fdr(n), b);
    }
    std::vector<uint8_t> Drain(int n) {
        std::vector<uint8_t> got;
        for (uint32_t left = ByteCount(Read(Csr(n))); left > 0; --left) {
            got.push_back(static_cast<uint8_t>(Read(Fdr(n))));
        }
        return got;
    }
    Handshake Out(int ep, const std::vector<uint8_t>& data, int toggle, const uint64_t* tags = nullptr) {
        return port.Out(kAddress, ep, data.data(), data.size(), toggle, tags, ++now);
    }
    Handshake In(int ep, InPacket* p) { return port.In(kAddress, ep, p, ++now); }
    Handshake Setup(const std::vector<uint8_t>& s) { return port.Setup(kAddress, s.data(), ++now); }
    const UsbPortStats& Stats() const { return port.Stats(); }

    std::vector<std::string> notes;
    UsbPort port;
    uint64_t now = 1000;
};

TEST(UsbPort, FlagsAreClearedByWritingZeroAndKeptByOne) {
    struct Case {
        const char* name;
        int ep;
        uint32_t flag;
        void (*make)(Bench&);
    } cases[] = {
        {"TXCOMP", 2, kCsrTxcomp, [](Bench& b) { b.ReleaseIn(2); InPacket p; b.In(2, &p); }},
        {"RX_DATA_BK0", 1, kCsrRxDataBk0, [](Bench& b) { b.Out(1, {1}, 0); }},
        {"RX_DATA_BK1", 1, kCsrRxDataBk1, [](Bench& b) { b.Out(1, {1}, 0); b.Out(1, {2}, 1); b.Drain(1);
                                                         b.ClearFlag(1, kCsrRxDataBk0); }},
        {"RXSETUP", 0, kCsrRxsetup, [](Bench& b) { b.Setup(Bytes(8, 0)); b.Drain(0); }},
        {"STALLSENT", 2, kCsrStallsent, [](Bench& b) { b.SetCsr(2, Type(kEptypeBulkIn) | kCsrForcestall);
                                                       InPacket p; b.In(2, &p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        c.make(b);
        const uint32_t fields = b.Read(Csr(c.ep)) & kFieldBits;
        ASSERT_TRUE(b.Read(Csr(c.ep)) & c.flag);
        EXPECT_TRUE(b.Read(kUsbIsr) & kIsrEpInt(c.ep));
        b.SetCsr(c.ep, fields | kCsrW0cFlags);
        EXPECT_TRUE(b.Read(Csr(c.ep)) & c.flag) << "writing 1 keeps it";
        b.SetCsr(c.ep, fields | (kCsrW0cFlags & ~c.flag));
        EXPECT_FALSE(b.Read(Csr(c.ep)) & c.flag) << "writing 0 clears it";
        EXPECT_EQ(b.Read(Csr(c.ep)) & kFieldBits, fields);
        EXPECT_FALSE(b.Read(kUsbIsr) & kIsrEpInt(c.ep));
        EXPECT_EQ(b.Stats().lost_events + b.Stats().discipline_faults, 0u);
    }
}

// Reading the CSR does not hurry a write: it shows after its own delay, and
// the delays differ from write to write, so only reading until it shows
// keeps code safe.
TEST(UsbPort, CsrWriteShowsAfterItsOwnDelayHoweverOftenCodeReads) {
    const uint32_t before = Type(kEptypeBulkOut), after = Type(kEptypeBulkOut) | kCsrForcestall;
    {
        Bench b;
        uint64_t shortest = UINT64_MAX, longest = 0;
        for (int i = 0; i < 40; ++i) {
            const uint32_t from = i % 2 ? after : before, to = i % 2 ? before : after;
            b.Write(Csr(1), to);
            const uint64_t written = b.now;
            EXPECT_TRUE(b.port.WritePending());
            while ((b.Read(Csr(1)) & kFieldBits) == from) ASSERT_LT(b.now - written, 1000u);
            const uint64_t delay = b.now - written;
            shortest = std::min(shortest, delay);
            longest = std::max(longest, delay);
            EXPECT_FALSE(b.port.WritePending());
        }
        EXPECT_GE(shortest, kCsrSettleMinCycles);
        EXPECT_LE(longest, kCsrSettleMaxCycles);
        EXPECT_GT(longest - shortest, (kCsrSettleMaxCycles - kCsrSettleMinCycles) / 2) << "the delay varies";
        EXPECT_EQ(b.Stats().discipline_faults, 0u);
    }
    {
        // The bus side sees a write once its delay has passed, without any read.
        Bench b;
        b.Write(Csr(1), after);
        b.Settle();
        EXPECT_EQ(b.Out(1, {1}, 0), Handshake::kStall);
    }
    {
        // Flags the port sets meanwhile show at once.
        Bench b;
        b.Write(Csr(1), after);
        b.Out(1, {1}, 0);  // taken: the FORCESTALL has not shown yet
        EXPECT_EQ(b.Read(Csr(1)) & (kCsrRxDataBk0 | kCsrForcestall), kCsrRxDataBk0);
    }
    {
        // A write that changes nothing has nothing to show: code may go on.
        Bench b;
        b.Write(Csr(1), before | kCsrW0cFlags);
        EXPECT_FALSE(b.port.WritePending());
        b.Write(Csr(1), after);
        EXPECT_EQ(b.Stats().discipline_faults, 0u);
    }
}

TEST(UsbPort, CsrWriteAgainOrFifoTouchBeforeItShowedIsAFault) {
    Bench b;
    b.Write(Csr(1), Type(kEptypeBulkOut) | kCsrForcestall);
    b.Write(Csr(1), Type(kEptypeBulkOut) | kCsrDir);
    EXPECT_EQ(b.Stats().discipline_faults, 1u);
    b.Settle();
    EXPECT_EQ(b.Read(Csr(1)) & kFieldBits, Type(kEptypeBulkOut) | kCsrDir) << "the second write replaced the first";

    // FIFO read right after handing the bank back: acts on the old state.
    b.SetCsr(1, Type(kEptypeBulkOut));
    b.Out(1, {7, 8}, 0);
    EXPECT_EQ(b.Read(Fdr(1)), 7u);
    b.Write(Csr(1), Type(kEptypeBulkOut) | (kCsrW0cFlags & ~kCsrRxDataBk0));
    EXPECT_EQ(b.Read(Fdr(1)), 8u);
    EXPECT_EQ(b.Stats().discipline_faults, 2u);
    ASSERT_EQ(b.notes.size(), 2u);
    EXPECT_NE(b.notes[1].find("FDR1 read before the write to CSR1 showed"), std::string::npos) << b.notes[1];
}

TEST(UsbPort, PlainReadModifyWriteRacingANewBankLosesIt) {
    struct Case {
        const char* name;
        bool careful;        // the other flags written 1, as the sheet says
        bool during_write;   // the packet arrives while the write is on its way (code reads it meanwhile)
        uint64_t lost;
    } cases[] = {
        {"plain, packet before the write", false, false, 1},
        {"plain, packet while the write shows", false, true, 1},
        {"careful, packet before the write", true, false, 0},
        {"careful, packet while the write shows", true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.Out(1, {1, 2}, 0);
        const uint32_t seen = b.Read(Csr(1));
        b.Drain(1);
        if (!c.during_write) {
            EXPECT_EQ(b.Out(1, {3}, 1), Handshake::kAck);  // bank 1, after code's read
        }
        const uint32_t keep = c.careful ? kCsrW0cFlags : (seen & kCsrW0cFlags);
        b.Write(Csr(1), (seen & kFieldBits) | (keep & ~kCsrRxDataBk0));
        if (c.during_write) {
            EXPECT_EQ(b.Out(1, {3}, 1), Handshake::kAck);
        }
        for (uint64_t i = 0; i < kCsrSettleMaxCycles; ++i) b.Read(Csr(1));
        EXPECT_EQ(b.Stats().lost_events, c.lost);
        EXPECT_EQ(b.Read(Csr(1)) & kRxBanks, c.lost ? 0u : kCsrRxDataBk1);
        if (c.lost) {
            EXPECT_NE(b.notes.back().find("bank 1 is gone"), std::string::npos) << b.notes.back();
        }
        // Either way the next packet goes into bank 0 (strict alternation).
        EXPECT_EQ(b.Out(1, {4}, 0), Handshake::kAck);
        EXPECT_TRUE(b.Read(Csr(1)) & kCsrRxDataBk0);
    }
}

TEST(UsbPort, OutBanksAlternateAndNakWhenTheDueBankIsFull) {
    Bench b;
    EXPECT_EQ(b.Out(1, Bytes(64, 0), 0), Handshake::kAck);
    EXPECT_EQ(b.Out(1, Bytes(3, 100), 1), Handshake::kAck);
    EXPECT_EQ(b.Out(1, Bytes(5, 200), 0), Handshake::kNak);
    uint32_t csr = b.Read(Csr(1));
    EXPECT_EQ(csr & kRxBanks, kCsrRxDataBk0 | kCsrRxDataBk1);
    EXPECT_EQ(csr & kCsrDtgle, 0u) << "both full: the older is bank DTGLE";
    EXPECT_EQ(ByteCount(csr), 64u);
    b.Read(Fdr(1));
    EXPECT_EQ(ByteCount(b.Read(Csr(1))), 63u);
    b.ClearFlag(1, kCsrRxDataBk0);
    EXPECT_TRUE(b.port.TakeBusChange()) << "a bank handed back";
    EXPECT_EQ(b.Drain(1), Bytes(3, 100));
    EXPECT_EQ(b.Out(1, Bytes(5, 200), 0), Handshake::kAck) << "into bank 0 again";
    csr = b.Read(Csr(1));
    EXPECT_EQ(csr & kRxBanks, kCsrRxDataBk0 | kCsrRxDataBk1);
    EXPECT_EQ(csr & kCsrDtgle, kCsrDtgle) << "now bank 1 is the older";
    EXPECT_EQ(b.Drain(1), Bytes(0, 0)) << "bank 1 was read to its end";
    b.ClearFlag(1, kCsrRxDataBk1);
    EXPECT_EQ(b.Drain(1), Bytes(5, 200));
    EXPECT_EQ(b.Stats().out_packets, 3u);
    EXPECT_EQ(b.Stats().out_naks, 1u);
    EXPECT_EQ(b.Stats().discipline_faults, 0u);

    // Handing back the newer bank while the older is still full drops it unread.
    Bench c;
    c.Out(1, {1}, 0);
    c.Out(1, {2}, 1);
    c.ClearFlag(1, kCsrRxDataBk1);
    EXPECT_EQ(c.Stats().discipline_faults, 1u);
    EXPECT_EQ(c.Drain(1), std::vector<uint8_t>{1});
    EXPECT_EQ(c.Out(1, {3}, 0), Handshake::kNak) << "bank 0 is still due";
}

TEST(UsbPort, WrongToggleIsAcknowledgedAndDroppedAsARepeat) {
    Bench b;
    EXPECT_EQ(b.Out(1, {9}, 1), Handshake::kAck);
    EXPECT_EQ(b.Read(Csr(1)) & (kCsrRxDataBk0 | kCsrDtgle), 0u);
    EXPECT_EQ(b.Out(1, {1}, 0), Handshake::kAck);
    EXPECT_EQ(b.Out(1, {1}, 0), Handshake::kAck);  // the host missed the handshake and sent it again
    EXPECT_EQ(b.Read(Csr(1)) & (kCsrRxDataBk1 | kCsrDtgle), kCsrDtgle);
    EXPECT_EQ(b.Stats().repeats_dropped, 2u);
    EXPECT_EQ(b.Stats().out_packets, 1u);

    // IN toggles alternate per packet taken.
    for (int i = 0; i < 3; ++i) {
        b.ReleaseIn(2);
        InPacket p;
        ASSERT_EQ(b.In(2, &p), Handshake::kAck);
        EXPECT_EQ(p.toggle, i % 2);
    }
}

TEST(UsbPort, InUsesBothBanksAndSetsTxcomp) {
    Bench b;
    b.Fill(2, Bytes(64, 0));
    b.ReleaseIn(2);
    EXPECT_TRUE(b.port.TakeBusChange());
    EXPECT_TRUE(b.port.InPending(2));
    b.Fill(2, Bytes(2, 50));  // the other bank, at once
    InPacket p;
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_EQ(p.data, Bytes(64, 0));
    EXPECT_EQ(b.Read(Csr(2)) & (kCsrTxcomp | kCsrTxpktrdy), kCsrTxcomp) << "no released bank left";
    EXPECT_FALSE(b.port.InPending(2));
    EXPECT_EQ(b.In(2, &p), Handshake::kNak) << "the second bank is not released yet";
    b.SetCsr(2, Type(kEptypeBulkIn) | (kCsrW0cFlags & ~kCsrTxcomp));  // TXPKTRDY written 0: nothing
    EXPECT_EQ(b.In(2, &p), Handshake::kNak);
    b.ReleaseIn(2);
    EXPECT_EQ(b.Read(Csr(2)) & (kCsrTxcomp | kCsrTxpktrdy), kCsrTxpktrdy);
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_EQ(p.data, Bytes(2, 50));
    b.ReleaseIn(2);  // nothing written: a zero-length packet
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_TRUE(p.data.empty());
    EXPECT_EQ(b.Stats().in_packets, 3u);
    EXPECT_EQ(b.Stats().zero_length_in, 1u);
    EXPECT_EQ(b.Stats().in_naks, 2u);
    EXPECT_EQ(b.Stats().discipline_faults, 0u);

    // Releasing the second bank while the first still waits: sent too, TXPKTRDY until both are gone.
    b.Fill(2, {1});
    b.ReleaseIn(2);
    b.Fill(2, {2});
    b.ReleaseIn(2);
    EXPECT_EQ(b.Stats().discipline_faults, 1u);
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_EQ(p.data, std::vector<uint8_t>{1});
    EXPECT_TRUE(b.Read(Csr(2)) & kCsrTxpktrdy);
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_EQ(p.data, std::vector<uint8_t>{2});
    EXPECT_FALSE(b.Read(Csr(2)) & kCsrTxpktrdy);
}

TEST(UsbPort, FifoMisuseIsCountedAndLogged) {
    struct Case {
        const char* name;
        void (*misuse)(Bench&);
        const char* note;
        uint64_t faults = 1;
    } cases[] = {
        {"65 bytes into a bank", [](Bench& b) { b.Fill(2, Bytes(65, 0)); }, "past the bank's 64 bytes"},
        {"9 bytes into endpoint 0", [](Bench& b) { b.Fill(0, Bytes(9, 0)); }, "past the bank's 8 bytes"},
        {"both banks released", [](Bench& b) { b.ReleaseIn(2); b.Fill(2, {1}); b.SetCsr(2, Type(kEptypeBulkIn) |
                                                   kCsrW0cFlags | kCsrTxpktrdy); b.Fill(2, {2}); },
         "no IN bank is free", 2},  // the second release is a fault of its own
        {"one bank released", [](Bench& b) { b.ReleaseIn(3); b.Fill(3, {1}); }, "no IN bank is free"},
        {"read of an empty FIFO", [](Bench& b) { b.Read(Fdr(1)); }, "no received byte left"},
        {"read past the packet", [](Bench& b) { b.Out(1, {1}, 0); b.Read(Fdr(1)); b.Read(Fdr(1)); },
         "no received byte left"},
        {"RXSETUP cleared unread", [](Bench& b) { b.Setup(Bytes(8, 0)); b.Read(Fdr(0));
                                                  b.ClearFlag(0, kCsrRxsetup); }, "7 bytes of the SETUP unread"},
        {"FIFO 0 written during RXSETUP", [](Bench& b) { b.Setup(Bytes(8, 0)); b.Fill(0, {1}); },
         "while RXSETUP is set"},
        {"FIFO written during endpoint reset", [](Bench& b) { b.Write(kUsbRstEp, 1u << 2); b.Fill(2, {1}); },
         "held in reset"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        c.misuse(b);
        EXPECT_EQ(b.Stats().discipline_faults, c.faults);
        ASSERT_FALSE(b.notes.empty());
        EXPECT_NE(b.notes.back().find(c.note), std::string::npos) << b.notes.back();
    }
}

TEST(UsbPort, ControlTransfersThroughEndpointZero) {
    Bench b;
    b.SetCsr(0, Type(kEptypeControl) | kCsrForcestall);  // the last request was refused
    b.Fill(0, {0xAA});
    b.ReleaseIn(0);  // a stale packet, dropped by the SETUP
    const std::vector<uint8_t> get_descriptor = {0x80, 6, 0, 1, 0, 0, 18, 0};
    EXPECT_EQ(b.Setup(get_descriptor), Handshake::kAck) << "SETUP is taken despite FORCESTALL";
    uint32_t csr = b.Read(Csr(0));
    EXPECT_EQ(csr & (kCsrRxsetup | kCsrTxpktrdy | kCsrDtgle), kCsrRxsetup | kCsrDtgle);
    EXPECT_EQ(ByteCount(csr), 8u);
    InPacket p;
    EXPECT_EQ(b.In(0, &p), Handshake::kNak) << "NAK while RXSETUP is set";
    EXPECT_EQ(b.Out(0, {}, 1), Handshake::kNak);
    EXPECT_EQ(b.Drain(0), get_descriptor);
    b.SetCsr(0, Type(kEptypeControl) | kCsrDir | (kCsrW0cFlags & ~(kCsrRxsetup | kCsrStallsent)));

    // IN data stage from DATA1, then the host's status stage: zero-length OUT with DATA1.
    const int toggles[] = {1, 0, 1};
    for (int i = 0; i < 3; ++i) {
        b.Fill(0, Bytes(i < 2 ? 8 : 2, static_cast<uint8_t>(8 * i)));
        b.ReleaseIn(0);
        ASSERT_EQ(b.In(0, &p), Handshake::kAck);
        EXPECT_EQ(p.toggle, toggles[i]);
        b.ClearFlag(0, kCsrTxcomp);
    }
    EXPECT_EQ(b.Out(0, {}, 1), Handshake::kAck);
    EXPECT_TRUE(b.Read(Csr(0)) & kCsrRxDataBk0);
    b.ClearFlag(0, kCsrRxDataBk0);

    // OUT data stage (DIR 0): DATA1, then the status stage, a zero-length IN with DATA1.
    EXPECT_EQ(b.Setup({0x21, 0x20, 0, 0, 0, 0, 7, 0}), Handshake::kAck);
    b.Drain(0);
    b.SetCsr(0, Type(kEptypeControl) | (kCsrW0cFlags & ~kCsrRxsetup));
    EXPECT_EQ(b.Out(0, Bytes(7, 0), 1), Handshake::kAck);
    EXPECT_EQ(b.Drain(0), Bytes(7, 0));
    b.ClearFlag(0, kCsrRxDataBk0);
    b.ReleaseIn(0);
    ASSERT_EQ(b.In(0, &p), Handshake::kAck);
    EXPECT_EQ(p.toggle, 1);
    EXPECT_TRUE(p.data.empty());
    EXPECT_EQ(b.Stats().setup_packets, 2u);
    EXPECT_EQ(b.Stats().discipline_faults + b.Stats().lost_events, 0u);
}

TEST(UsbPort, ForcestallAnswersStallAndSetsStallsent) {
    Bench b;
    b.SetCsr(1, Type(kEptypeBulkOut) | kCsrForcestall);
    EXPECT_TRUE(b.port.TakeBusChange());
    b.SetCsr(2, Type(kEptypeBulkIn) | kCsrForcestall);
    EXPECT_EQ(b.Out(1, {1}, 0), Handshake::kStall);
    InPacket p;
    EXPECT_EQ(b.In(2, &p), Handshake::kStall);
    EXPECT_TRUE(b.Read(Csr(1)) & kCsrStallsent);
    EXPECT_TRUE(b.Read(Csr(2)) & kCsrStallsent);
    EXPECT_EQ(b.Stats().stalls, 2u);
    EXPECT_EQ(b.Stats().out_packets, 0u);
    b.SetCsr(1, Type(kEptypeBulkOut) | (kCsrW0cFlags & ~kCsrStallsent));
    EXPECT_EQ(b.Out(1, {1}, 0), Handshake::kAck);
}

TEST(UsbPort, EndpointResetEmptiesBanksAndHoldsTheEndpoint) {
    Bench b;
    b.Out(1, {1}, 0);
    b.Out(1, {2}, 1);
    b.Fill(2, {3});
    b.ReleaseIn(2);
    InPacket p;
    b.In(2, &p);
    b.Fill(2, {4});
    b.ReleaseIn(2);
    b.port.TakeBusChange();
    b.Write(kUsbRstEp, (1u << 1) | (1u << 2));
    EXPECT_TRUE(b.port.TakeBusChange());
    EXPECT_EQ(b.Read(kUsbRstEp), (1u << 1) | (1u << 2));
    EXPECT_EQ(b.Read(Csr(1)) & (kCsrRxDataBk0 | kCsrRxDataBk1 | kCsrDtgle | kCsrRxbytecntMask), 0u);
    EXPECT_EQ(b.Read(Csr(2)) & (kCsrTxpktrdy | kCsrDtgle), 0u);
    EXPECT_EQ(b.Read(Csr(2)) & kFieldBits, Type(kEptypeBulkIn)) << "the fields stay";
    EXPECT_EQ(b.Out(1, {5}, 0), Handshake::kNak);
    EXPECT_EQ(b.In(2, &p), Handshake::kNak);
    b.Write(kUsbRstEp, 0);
    EXPECT_EQ(b.Out(1, {5}, 0), Handshake::kAck) << "DATA0 into bank 0";
    EXPECT_EQ(b.Drain(1), std::vector<uint8_t>{5});
    b.ReleaseIn(2);
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_TRUE(p.data.empty()) << "the packet released before the reset is gone";
    EXPECT_EQ(p.toggle, 0);
}

TEST(UsbPort, OnlyEnabledEndpointsOfTheRightTypeAtTheAddressAnswer) {
    struct Case {
        const char* name;
        uint32_t faddr;
        uint32_t csr1;     // endpoint 1's CSR
        bool in;           // IN token instead of OUT
        bool attached;
        Handshake expected;
    } cases[] = {
        {"bulk OUT", kFaddrFen | kAddress, Type(kEptypeBulkOut), false, true, Handshake::kAck},
        {"interrupt OUT", kFaddrFen | kAddress, Type(kEptypeIntOut), false, true, Handshake::kAck},
        {"control, OUT", kFaddrFen | kAddress, Type(kEptypeControl), false, true, Handshake::kAck},
        {"control, IN", kFaddrFen | kAddress, Type(kEptypeControl), true, true, Handshake::kNak},
        {"bulk IN, IN", kFaddrFen | kAddress, Type(kEptypeBulkIn), true, true, Handshake::kNak},
        {"other address", kFaddrFen | 6, Type(kEptypeBulkOut), false, true, Handshake::kNone},
        {"FEN off", kAddress, Type(kEptypeBulkOut), false, true, Handshake::kNone},
        {"EPEDS off", kFaddrFen | kAddress, Type(kEptypeBulkOut) & ~kCsrEpeds, false, true, Handshake::kNone},
        {"bulk IN, OUT", kFaddrFen | kAddress, Type(kEptypeBulkIn), false, true, Handshake::kNone},
        {"bulk OUT, IN", kFaddrFen | kAddress, Type(kEptypeBulkOut), true, true, Handshake::kNone},
        {"EPTYPE 4", kFaddrFen | kAddress, Type(4), false, true, Handshake::kNone},
        {"off the bus", kFaddrFen | kAddress, Type(kEptypeBulkOut), false, false, Handshake::kNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        b.Write(kUsbFaddr, c.faddr);
        b.SetCsr(1, c.csr1);
        if (!c.attached) b.Write(kUsbTxvc, 0);
        InPacket p;
        EXPECT_EQ(c.in ? b.In(1, &p) : b.Out(1, {1}, 0), c.expected);
        EXPECT_EQ(b.Stats().unanswered, c.expected == Handshake::kNone ? 1u : 0u);
    }
    Bench b;
    b.SetCsr(0, Type(kEptypeBulkOut));
    EXPECT_EQ(b.Setup(Bytes(8, 0)), Handshake::kNone) << "SETUP needs a control endpoint";
}

TEST(UsbPort, BusResetDisablesEverythingAndSetsEndbusres) {
    Bench b;
    b.Write(kUsbGlbStat, kGlbFadden | kGlbConfg | kGlbEsr);
    b.Out(1, {1}, 0);
    b.Fill(2, {2});
    b.ReleaseIn(2);
    b.Write(Csr(3), Type(kEptypeIntIn) | kCsrForcestall);  // still on its way at the reset
    b.port.BusReset(b.now);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(b.Read(Csr(n)), 0u) << n;
    EXPECT_FALSE(b.port.WritePending());
    EXPECT_EQ(b.Read(kUsbFaddr), 0u);
    EXPECT_EQ(b.Read(kUsbGlbStat), kGlbEsr);
    EXPECT_EQ(b.Read(kUsbIsr), kIsrEndbusres);
    EXPECT_EQ(b.Stats().bus_resets, 1u);
    EXPECT_EQ(b.port.Setup(0, Bytes(8, 0).data(), ++b.now), Handshake::kNone);
    b.Write(kUsbIcr, kIsrEndbusres);
    EXPECT_EQ(b.Read(kUsbIsr), 0u);
    // Firmware's answer: address 0 enabled, endpoint 0 as control.
    b.Write(kUsbFaddr, kFaddrFen);
    b.SetCsr(0, Type(kEptypeControl));
    EXPECT_EQ(b.port.Setup(0, Bytes(8, 0).data(), ++b.now), Handshake::kAck);
}

TEST(UsbPort, FramesSuspendAndResumeLatchUntilCleared) {
    Bench b;
    b.port.StartOfFrame(0x1234, ++b.now);  // 11 bits
    EXPECT_EQ(b.Read(kUsbFrmNum), 0x234u | kFrmOk);
    b.port.Suspend(++b.now);
    b.port.Resume(++b.now);
    EXPECT_EQ(b.Read(kUsbIsr), kIsrSofint | kIsrRxsusp | kIsrRxrsm | kIsrWakeup);
    b.Write(kUsbIcr, kIsrSofint | kIsrRxsusp);
    EXPECT_EQ(b.Read(kUsbIsr), kIsrRxrsm | kIsrWakeup);
    b.port.StartOfFrame(7, ++b.now);
    EXPECT_EQ(b.Read(kUsbFrmNum), 7u | kFrmOk);
    EXPECT_EQ(b.Read(kUsbFaddr), kFaddrFen | kAddress) << "suspend and resume keep every setting";
    EXPECT_EQ(b.Read(Csr(1)), Type(kEptypeBulkOut));
    EXPECT_EQ(b.Out(1, {1}, 0), Handshake::kAck);
}

TEST(UsbPort, TransceiverAndPullUpPutThePortOnTheBus) {
    Bench b(4, false);
    EXPECT_FALSE(b.port.Attached());
    const struct {
        uint32_t txvc;
        bool attached;
    } rows[] = {{kTxvcPuon, true}, {kTxvcPuon | kTxvcTxvdis, false}, {0, false}, {kTxvcTxvdis, false},
                {kTxvcPuon, true}};
    bool was = false;
    for (const auto& r : rows) {
        b.Write(kUsbTxvc, r.txvc | 0xFF);
        EXPECT_EQ(b.Read(kUsbTxvc), r.txvc);
        EXPECT_EQ(b.port.Attached(), r.attached) << r.txvc;
        EXPECT_EQ(b.port.TakeBusChange(), r.attached != was);
        was = r.attached;
    }
    EXPECT_EQ(b.Stats().txvc_writes, 5u);
    b.port.PowerOn();
    EXPECT_EQ(b.Read(kUsbTxvc), kTxvcPuon);
    EXPECT_EQ(b.Stats().txvc_writes, 5u);
}

TEST(UsbPort, OffsetsThatAreNotRegisters) {
    for (int endpoints : {4, 8}) {
        Bench b(endpoints);
        const uint32_t last = static_cast<uint32_t>(endpoints - 1);
        for (uint32_t offset : {kUsbFrmNum, kUsbIsr, kUsbRstEp, kUsbTxvc, Csr(3), Fdr(3), Csr(last), Fdr(last)}) {
            uint32_t v = 0;
            EXPECT_TRUE(b.port.Read(offset, b.now, &v)) << std::hex << offset;
            EXPECT_TRUE(b.port.Write(offset, 0, b.now)) << std::hex << offset;
        }
        std::vector<uint32_t> not_registers = {0x00C, 0x024, 0x02C, 0x070, 0x078, 0x100, 0x3FFC, 0x4000, 0x002, 0x031};
        if (endpoints == 4) {
            for (uint32_t n = 4; n < 8; ++n) {
                not_registers.push_back(Csr(static_cast<int>(n)));
                not_registers.push_back(Fdr(static_cast<int>(n)));
            }
        }
        for (uint32_t offset : not_registers) {
            uint32_t v = 0;
            EXPECT_FALSE(b.port.Read(offset, b.now, &v)) << std::hex << offset;
            EXPECT_FALSE(b.port.Write(offset, 0, b.now)) << std::hex << offset;
        }
    }
}

TEST(UsbPort, TagsFollowBytesFromOutReadsToInWrites) {
    Bench b;
    const uint64_t tags[] = {11, 11, 12};
    b.Out(1, {1, 2, 3}, 0, tags);
    b.Setup(Bytes(8, 0));
    b.Fill(2, {0x40});   // before any read: tag 0
    b.Read(Fdr(1));
    b.Read(Fdr(1));
    b.Fill(2, {0x41});   // tag 11
    b.Read(Fdr(1));
    b.Read(Fdr(0));      // endpoint 0's bytes do not change the tag
    b.Fill(2, {0x42, 0x43});
    b.ReleaseIn(2);
    InPacket p;
    ASSERT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_EQ(p.tags, (std::vector<uint64_t>{0, 11, 12, 12}));
}

TEST(UsbPort, BusChangeOnlyForWhatTheHostSees) {
    Bench b;
    b.Out(1, {1}, 0);
    b.Fill(2, {1});
    b.ReleaseIn(2);
    InPacket p;
    b.In(2, &p);
    b.port.TakeBusChange();
    b.ClearFlag(2, kCsrTxcomp);
    EXPECT_FALSE(b.port.TakeBusChange()) << "TXCOMP is code's own";
    b.Write(kUsbGlbStat, kGlbFadden);
    EXPECT_FALSE(b.port.TakeBusChange());
    b.Write(kUsbGlbStat, kGlbFadden | kGlbConfg);
    EXPECT_TRUE(b.port.TakeBusChange());
    EXPECT_FALSE(b.port.TakeBusChange()) << "once";
    // A release is known to the bus as soon as it is written.
    b.Write(Csr(2), Type(kEptypeBulkIn) | kCsrTxpktrdy);
    EXPECT_TRUE(b.port.TakeBusChange());
    EXPECT_TRUE(b.port.InPending(2));
    b.Settle();
    EXPECT_EQ(b.In(2, &p), Handshake::kAck);
    EXPECT_FALSE(b.port.InPending(2));
}

}  // namespace
}  // namespace sim
