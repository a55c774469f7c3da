// A full programming session against the simulator program over its pty,
// with the frames the tool sends: handshakes, (version 2) the SRAM monitor
// start, both applets, unlock and erase, the chunked write pass with
// completion polls, the verify pass with R and o frames, lock and GPNVM2.
// Shared by the image session test and the session benchmark.
#ifndef QUILLMERE_SIM_IMAGES_SESSION_H
#define QUILLMERE_SIM_IMAGES_SESSION_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_client.h"

namespace images_session {

constexpr uint32_t kChunk = 0x5400;
constexpr uint32_t kBuffer = 0x00202AF4;
constexpr int kReplyTimeoutMs = 10000;

inline std::vector<uint8_t> ReadImage(const std::string& source_dir, const char* name) {
    std::ifstream in(source_dir + "/applet/images/" + name, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

// One session on an open port. Stops at the first unexpected answer and
// tells which in *error.
class Session {
 public:
    Session(sim::SimClient* client, const std::string& source_dir) : c_(client), dir_(source_dir) {}

    bool Run(bool version2, const std::vector<uint8_t>& image, std::string* error) {
        error_ = error;
        if (!Expect("N#", "\n\r") || !Expect("T#", std::string("\n\r>")) || !Send("V#\n")) return false;
        c_->Read(40, 300);  // the version text; not compared here
        if (!Send("#\n") || !Expect("N#", "\n\r")) return false;
        if (version2) {
            std::vector<uint8_t> monitor = ReadImage(dir_, "sram_monitor.bin");
            if (!Send("S00200000,00001510#") || !Send(monitor) || !Send("G00200000#")) return false;
            if (!Expect("T#", "\n\r\n")) return false;
            c_->ClosePort();
            if (!c_->OpenPort(1)) return Fail("reopening the port after the SRAM monitor start");
            if (!Expect("N#", "\n\r")) return false;
        }
        if (ReadWord(0xFFFFF240) != 0x272A0A40) return Fail("chip identification");
        if (!Applet("init_applet.bin", {0, 4, 0, 0, 0}, {0xFFFFFFFF, 0, 0, 4, 0, 0})) return false;
        if (!Applet("flash_applet.bin", {0, 4, 0}, {0xFFFFFFFF, 0, 0x00080000, kBuffer, kChunk, 0x00204000}))
            return false;
        for (uint32_t region = 0; region < 32; ++region)
            if (!Command(5, {region}, 0xFFFFFFFA)) return false;
        if (!Command(1, {0}, 0xFFFFFFFE)) return false;

        size_t chunks = (image.size() + kChunk - 1) / kChunk;
        std::vector<uint8_t> padded(image);
        padded.resize(chunks * kChunk, 0);
        for (size_t i = 0; i < chunks; ++i) {
            if (i > 0 && !WaitDone(0xFFFFFFFD)) return false;
            if (!Send("S00202AF4,00005400#") ||
                !Send(std::vector<uint8_t>(padded.begin() + i * kChunk, padded.begin() + (i + 1) * kChunk)))
                return false;
            if (!Start(2, {kBuffer, kChunk, static_cast<uint32_t>(i * kChunk)})) return false;
        }
        if (!WaitDone(0xFFFFFFFD)) return false;
        for (size_t i = 0; i < chunks; ++i) {
            if (!Start(3, {kBuffer, kChunk, static_cast<uint32_t>(i * kChunk)}) || !WaitDone(0xFFFFFFFC))
                return false;
            if (!Send("R00202AF4,000053FF#")) return false;
            std::string back = c_->Read(kChunk - 1, kReplyTimeoutMs);
            if (!Send("o00207EF3,4#")) return false;
            back += c_->Read(1, kReplyTimeoutMs);
            if (back != std::string(padded.begin() + i * kChunk, padded.begin() + (i + 1) * kChunk))
                return Fail("verify of chunk " + std::to_string(i));
        }
        for (uint32_t region = 0; region < 32; ++region)
            if (!Command(4, {region}, 0xFFFFFFFB)) return false;
        if (!Command(6, {1, 2}, 0xFFFFFFF9)) return false;
        return Send("T#");
    }

 private:
    bool Fail(const std::string& what) {
        *error_ = what;
        return false;
    }
    bool Send(const std::string& bytes) { return c_->Send(bytes) || Fail("sending " + bytes.substr(0, 19)); }
    bool Send(const std::vector<uint8_t>& bytes) { return Send(std::string(bytes.begin(), bytes.end())); }
    bool Expect(const std::string& frame, const std::string& reply) {
        std::string got = c_->Exchange(frame, reply.size(), kReplyTimeoutMs);
        return got == reply || Fail("answer to " + frame);
    }
    uint32_t ReadWord(uint32_t address) {
        std::string r = c_->Exchange("w" + Hex8(address) + ",4#", 4, kReplyTimeoutMs);
        if (r.size() != 4) return 0;
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(r[i]);
        return v;
    }
    bool WriteWord(uint32_t address, uint32_t value) {
        return Send("W" + Hex8(address) + "," + Hex8(value) + "#");
    }
    // Mailbox words from the command word on, then G.
    bool Start(uint32_t code, const std::vector<uint32_t>& args) {
        if (!WriteWord(0x00202004, code)) return false;
        for (size_t i = 0; i < args.size(); ++i)
            if (!WriteWord(0x0020200C + 4 * static_cast<uint32_t>(i), args[i])) return false;
        return Send("G00202000#");
    }
    bool Command(uint32_t code, const std::vector<uint32_t>& args, uint32_t done) {
        if (!Start(code, args)) return false;
        if (ReadWord(0x00202004) != done) return Fail("done value of command " + std::to_string(code));
        if (ReadWord(0x00202008) != 0) return Fail("status of command " + std::to_string(code));
        return true;
    }
    // Completion poll: six checks with 2 ms pauses.
    bool WaitDone(uint32_t done) {
        for (int attempt = 0; attempt < 6; ++attempt) {
            if (ReadWord(0x00202004) == done && ReadWord(0x00202008) == 0 && ReadWord(0x0020200C) == kChunk)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return Fail("completion of a transfer (done value " + Hex8(done) + ")");
    }
    bool Applet(const char* name, const std::vector<uint32_t>& args, const std::vector<uint32_t>& reply) {
        std::vector<uint8_t> image = ReadImage(dir_, name);
        if (!Send("S00202000," + Hex8(static_cast<uint32_t>(image.size())) + "#") || !Send(image)) return false;
        if (!Start(0, args)) return false;
        for (size_t i = 0; i < reply.size(); ++i) {
            int reads = i == 5 ? 3 : 1;  // argument 4 is read three times
            for (int k = 0; k < reads; ++k)
                if (ReadWord(0x00202004 + 4 * static_cast<uint32_t>(i)) != reply[i])
                    return Fail(std::string(name) + " reply word " + std::to_string(i));
        }
        return true;
    }

    sim::SimClient* c_;
    std::string dir_;
    std::string* error_ = nullptr;
};

}  // namespace images_session

#endif
