// The probe against a scripted instrument: what it sends, and which items
// it names when the instrument shows other values.
#include "probe/probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "monitor/frames.h"
#include "platform/fake_platform.h"
#include "probe/test_instrument.h"
#include "serial/port.h"

namespace {

using probe::Report;
using probe::Stage;
using probe::Verdict;
using probetest::Instrument;
using Strings = std::vector<std::string>;

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        PortHandle = nullptr;
        const uint8_t start_frame[4] = {'N', '#', 0, 0};
        std::memcpy(ModeFrame, start_frame, sizeof ModeFrame);
    }
    void TearDown() override {
        EXPECT_EQ(fake::Remaining(), "");
        EXPECT_EQ(PortHandle, nullptr);
        EXPECT_TRUE(fake::Boxes().empty());
    }
    // Runs the probe; the layers' console lines are kept in console_.
    Report Probe() {
        Report report;
        testing::internal::CaptureStdout();
        probe::RunProbe(&report);
        console_ = testing::internal::GetCapturedStdout();
        return report;
    }
    static Strings Differing(const Report& r) {
        Strings out;
        for (const probe::Item& item : r.items)
            if (item.verdict == Verdict::kDiffers) out.push_back(item.id);
        return out;
    }
    static const probe::Item* Find(const Report& r, const std::string& id) {
        for (const probe::Item& item : r.items)
            if (item.id == id) return &item;
        return nullptr;
    }
    // Every frame written, as escaped text.
    static Strings Writes() {
        Strings out;
        for (const std::string& c : fake::Calls())
            if (c.compare(0, 6, "write ") == 0) out.push_back(c.substr(6));
        return out;
    }
    std::string console_;
};

TEST_F(ProbeTest, InstrumentAsTheSheetSays) {
    probetest::ScriptProbe(fake::AddPort(3), Instrument());
    const Report r = Probe();

    EXPECT_EQ(r.stage, Stage::kRead);
    EXPECT_EQ(r.ExitCode(), 0);
    EXPECT_EQ(Differing(r), Strings{});
    EXPECT_EQ(r.port, "COM3");
    EXPECT_EQ(r.version_text, "v1.4 Nov 10 2006");
    EXPECT_EQ(r.version_code, 10);
    EXPECT_TRUE(r.terminal_sent);
    EXPECT_EQ(r.link_lost, "");
    EXPECT_EQ(r.rom_bytes, probe::kRomSize);
    EXPECT_EQ(r.pmc.size(), probe::kPmcWords);
    EXPECT_TRUE(r.notices.empty());

    // Judged and reported items, in the report's order (CSR4 to CSR7 after
    // CSR3 although they are read last).
    Strings ids;
    Strings reported;
    for (const probe::Item& item : r.items) {
        ids.push_back(item.id);
        if (item.verdict == Verdict::kReported) reported.push_back(item.id);
    }
    EXPECT_EQ(ids, (Strings{"monitor.version", "chip_id", "usb.frm_num", "usb.glb_stat", "usb.faddr", "usb.isr",
                            "usb.csr0", "usb.csr1", "usb.csr2", "usb.csr3", "usb.csr4", "usb.csr5", "usb.csr6",
                            "usb.csr7", "usb.txvc", "rom.device_descriptor", "rom.configuration_descriptor",
                            "rom.endpoints", "pmc"}));
    EXPECT_EQ(reported, (Strings{"usb.isr", "usb.csr4", "usb.csr5", "usb.csr6", "usb.csr7", "pmc"}));

    // Descriptors where the ROM holds them, with their contents.
    ASSERT_EQ(r.device_descriptors.size(), 1u);
    EXPECT_EQ(r.device_descriptors[0].address, 0x0030A000u);
    EXPECT_EQ(r.device_descriptors[0].vendor_id, 0xF00D);
    EXPECT_EQ(r.device_descriptors[0].product_id, 0x5EED);
    ASSERT_EQ(r.configuration_descriptors.size(), 1u);
    EXPECT_EQ(r.configuration_descriptors[0].address, 0x0030A020u);
    EXPECT_EQ(r.configuration_descriptors[0].endpoints.size(), 3u);

    // The frame numbers were read at least 20 ms apart; the toggle is shown.
    EXPECT_EQ(fake::Sleeps(), std::vector<uint32_t>{20});
    EXPECT_NE(Find(r, "usb.frm_num")->reading.find("advanced by 21"), std::string::npos);
    EXPECT_NE(Find(r, "usb.csr2")->reading.find("bulk IN (EPTYPE 6), enabled, toggle DATA1"), std::string::npos);

    // The layers' console lines still reach standard output.
    EXPECT_EQ(console_, ".3. \nChip ver : \n\rv1.4 Nov 10 2006\n\r \n");
}

// Only reads after the version query: w and R frames, the R lengths never
// a multiple of 64, the ROM region read whole and once, T# at the end.
TEST_F(ProbeTest, SendsOnlyReads) {
    probetest::ScriptProbe(fake::AddPort(1), Instrument());
    Probe();
    const Strings writes = Writes();
    ASSERT_GE(writes.size(), 6u);
    EXPECT_EQ(Strings(writes.begin(), writes.begin() + 5), (Strings{"N#", "T#", "V#\\n", "#\\n", "N#"}));
    EXPECT_EQ(writes.back(), "T#");
    uint32_t rom_bytes = 0;
    uint32_t next = probe::kRomBase;
    for (size_t i = 5; i + 1 < writes.size(); ++i) {
        const std::string& w = writes[i];
        ASSERT_TRUE(w[0] == 'w' || w[0] == 'R') << w;
        if (w[0] == 'w') {
            EXPECT_EQ(w.size(), 12u) << w;
            continue;
        }
        const uint32_t address = static_cast<uint32_t>(std::stoul(w.substr(1, 8), nullptr, 16));
        const uint32_t count = static_cast<uint32_t>(std::stoul(w.substr(10, 8), nullptr, 16));
        EXPECT_EQ(address, next);
        EXPECT_NE(count % 64, 0u) << w;
        next += count;
        rom_bytes += count;
    }
    EXPECT_EQ(rom_bytes, probe::kRomSize);
}

// Each way an instrument may differ from the sheet, and the items that name
// it; values the sheet leaves open change nothing.
TEST_F(ProbeTest, NamesExactlyTheItemsThatDiffer) {
    const struct {
        const char* name;
        std::function<void(Instrument&)> change;
        Strings differing;
    } cases[] = {
        {"another chip", [](Instrument& in) { in.chip_id = 0x272B0A40; }, {"chip_id"}},
        {"chip id differing in masked bits", [](Instrument& in) { in.chip_id = 0x272AFA4F; }, {}},
        {"version 3", [](Instrument& in) { in.version = std::string("\n\rv3.0 Jan 01 2020\n\r>"); },
         {"monitor.version"}},
        {"frame number standing still", [](Instrument& in) { in.frame_second = in.frame_first; }, {"usb.frm_num"}},
        {"frame number only the flags changed",
         [](Instrument& in) { in.frame_second = in.frame_first | (1u << 17) | (1u << 16); }, {"usb.frm_num"}},
        {"frame number wrapping at 2048", [](Instrument& in) { in.frame_first = 2040; in.frame_second = 13; }, {}},
        {"address not set", [](Instrument& in) { in.glb_stat = 0x2; }, {"usb.glb_stat"}},
        {"not configured", [](Instrument& in) { in.glb_stat = 0x1; }, {"usb.glb_stat"}},
        {"function not enabled", [](Instrument& in) { in.faddr = 5; }, {"usb.faddr"}},
        {"address 0", [](Instrument& in) { in.faddr = 0x100; }, {"usb.faddr"}},
        {"endpoint 0 disabled", [](Instrument& in) { in.csr[0] = 0x0000; }, {"usb.csr0"}},
        {"endpoints 1 and 2 swapped",
         [](Instrument& in) { in.csr[1] = 0x8600; in.csr[2] = 0x8200; }, {"usb.csr1", "usb.csr2"}},
        {"endpoint 3 interrupt OUT", [](Instrument& in) { in.csr[3] = 0x8300; }, {"usb.csr3"}},
        {"endpoint 2 disabled", [](Instrument& in) { in.csr[2] = 0x0600; }, {"usb.csr2"}},
        {"toggles and flags are not judged",
         [](Instrument& in) { in.csr[0] = 0x8885; in.csr[1] = 0x08A8242; }, {}},
        {"endpoints 4 to 7 present and enabled",
         [](Instrument& in) { for (int n = 4; n < 8; ++n) in.csr[n] = 0x8600; }, {}},
        {"transceiver off", [](Instrument& in) { in.txvc = (1u << 8) | (1u << 9); }, {"usb.txvc"}},
        {"pull-up off", [](Instrument& in) { in.txvc = 0; }, {"usb.txvc"}},
        {"interrupt status and clock words are not judged",
         [](Instrument& in) { in.isr = 0x3FFF; for (uint32_t& w : in.pmc) w = 0xFFFFFFFF; }, {}},
        {"no tables in the ROM",
         [](Instrument& in) { in.rom = std::string(probe::kRomSize, '\xFF'); },
         {"rom.device_descriptor", "rom.configuration_descriptor", "rom.endpoints"}},
        {"bulk IN on endpoint 1, bulk OUT on 2",
         [](Instrument& in) { in.rom = probetest::RomWithTables(probetest::DeviceTable(),
                                                                 probetest::ConfigurationTable(0x02, 0x81)); },
         {"rom.endpoints"}},
        {"endpoint 0 packet size 64",
         [](Instrument& in) { in.rom = probetest::RomWithTables(probetest::DeviceTable(64)); },
         {"rom.device_descriptor"}},
        {"a second, different device table",
         [](Instrument& in) { in.rom.replace(0x8000, 18, probetest::DeviceTable(16)); }, {"rom.device_descriptor"}},
        {"a second copy of the same tables",
         [](Instrument& in) {
             in.rom.replace(0x0100, 18, probetest::DeviceTable());
             in.rom.replace(0x0200, 67, probetest::ConfigurationTable());
         },
         {}},
        {"a configuration table across the boundary of two R frames",
         [](Instrument& in) {
             in.rom = probetest::RomWithTables();
             in.rom.replace(0xA020, 67, std::string(67, '\x11'));
             in.rom.replace(probe::kRomPiece - 30, 67, probetest::ConfigurationTable());
         },
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Instrument in;
        c.change(in);
        probetest::ScriptProbe(fake::AddPort(3), in);
        const Report r = Probe();
        EXPECT_EQ(Differing(r), c.differing);
        EXPECT_EQ(r.ExitCode(), c.differing.empty() ? 0 : 1);
        EXPECT_EQ(fake::Remaining(), "");
    }
}

// No instrument: exit code 2, and nothing but the search, the prompt check
// and the version query (with T# at the end whenever a port is open).
TEST_F(ProbeTest, NoInstrumentAnswered) {
    const struct {
        const char* name;
        std::function<void()> script;
        Stage stage;
        int32_t code;
        Strings writes;
    } cases[] = {
        {"no port at all", [] {}, Stage::kSearch, 1, {}},
        {"a port answering the probe wrongly", [] { fake::AddPort(98).ExpectWrite("N#").Reply("\r\n"); },
         Stage::kSearch, 6, {"N#"}},
        {"no terminal prompt",
         [] {
             fake::Device& d = fake::AddPort(3);
             d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
             d.ExpectWrite("T#").Reply(std::string("\n\r\n", 3));
             d.ExpectWrite("T#");
         },
         Stage::kPrompt, 4, {"N#", "T#", "T#"}},
        {"the port does not open again",
         [] {
             fake::Device& d = fake::AddPort(3);
             d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
             d.ExpectWrite("T#").Reply(std::string("\n\r>", 3));
             d.OpenFails();
         },
         Stage::kReconnect, 1, {"N#", "T#"}},
        {"no answer to the version query's N#",
         [] {
             fake::Device& d = fake::AddPort(3);
             d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
             d.ExpectWrite("T#").Reply(std::string("\n\r>", 3));
             d.ExpectWrite("V#\n").Reply(std::string("\n\rv1.4\n\r>"));
             d.ExpectWrite("#\n");
             d.ExpectWrite("N#").Reply("\r\n");
             d.ExpectWrite("T#");
         },
         Stage::kVersion, 4, {"N#", "T#", "V#\\n", "#\\n", "N#", "T#"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.script();
        const Report r = Probe();
        EXPECT_EQ(r.stage, c.stage);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.ExitCode(), 2);
        EXPECT_TRUE(r.items.empty());
        EXPECT_EQ(Writes(), c.writes);
        EXPECT_EQ(fake::Remaining(), "");
        EXPECT_EQ(PortHandle, nullptr);
    }
}

// A link lost in the middle: the items after it are not read (judged ones
// count as differing), no notice box, no T# on the closed port.
TEST_F(ProbeTest, LinkLostAtAJudgedRegister) {
    Instrument in;
    fake::Device& d = fake::AddPort(3);
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
    d.ExpectWrite("T#").Reply(std::string("\n\r>", 3));
    d.ExpectWrite("V#\n").Reply(in.version);
    d.ExpectWrite("#\n");
    d.ExpectWrite("N#").Reply(std::string("\n\r", 2));
    d.ExpectReadWord(probe::kChipIdAddress, in.chip_id);
    d.ExpectReadWord(probe::kUsbFrmNum, in.frame_first);
    d.ExpectReadWord(probe::kUsbFrmNum, in.frame_second);
    d.ExpectWrite("wFFFB0004,4#").Vanish();
    const Report r = Probe();
    EXPECT_EQ(r.link_lost, "usb.glb_stat");
    EXPECT_EQ(r.ExitCode(), 1);
    EXPECT_FALSE(r.terminal_sent);
    EXPECT_EQ(Differing(r), (Strings{"usb.glb_stat", "usb.faddr", "usb.csr0", "usb.csr1", "usb.csr2", "usb.csr3",
                                     "usb.txvc", "rom.device_descriptor", "rom.configuration_descriptor",
                                     "rom.endpoints"}));
    EXPECT_EQ(Find(r, "usb.csr5")->reading, "not read: the link was lost at usb.glb_stat");
    EXPECT_EQ(Find(r, "usb.csr5")->verdict, Verdict::kReported);
    EXPECT_EQ(r.rom_bytes, 0u);
    EXPECT_EQ(Find(r, "rom.endpoints")->reading, "not read: the link was lost at usb.glb_stat");
    EXPECT_EQ(Writes().back(), "wFFFB0004,4#");
}

// A port without endpoint 4 that does not answer its CSR at all: the read
// runs into the no-progress bound and the link is gone, but every judged
// item was read before, so the verdict stands.
TEST_F(ProbeTest, UnansweredCsr4EndsTheProbeWithTheJudgementIntact) {
    Instrument in;
    fake::Device& d = fake::AddPort(3);
    probetest::ScriptProbe(d, in);
    // Cut the script after the PMC reads: CSR4's frame gets no answer.
    const size_t keep = d.script.size() - 4 * 2 - 1;
    d.script.resize(keep);
    d.ExpectWrite("wFFFB0040,4#");
    const Report r = Probe();
    EXPECT_EQ(r.link_lost, "usb.csr4");
    EXPECT_EQ(Differing(r), Strings{});
    EXPECT_EQ(r.ExitCode(), 0);
    EXPECT_FALSE(r.terminal_sent);
    EXPECT_EQ(Find(r, "usb.csr7")->verdict, Verdict::kReported);
    EXPECT_NE(Find(r, "usb.csr7")->reading.find("not read"), std::string::npos);
}

// The link lost inside the ROM read: the descriptors are searched in what
// came, and the ROM items say so.
TEST_F(ProbeTest, LinkLostInTheRomRead) {
    Instrument in;
    fake::Device& d = fake::AddPort(3);
    probetest::ScriptProbe(d, in);
    // Keep everything up to and including the third R frame's request; its
    // answer never comes.
    std::deque<fake::Step> kept;
    int r_frames = 0;
    for (const fake::Step& step : d.script) {
        kept.push_back(step);
        if (step.kind == fake::Step::kExpectWrite && step.bytes[0] == 'R' && ++r_frames == 3) break;
    }
    d.script = kept;
    const Report r = Probe();
    EXPECT_EQ(r.link_lost, "rom");
    EXPECT_EQ(r.rom_bytes, 2 * probe::kRomPiece);
    EXPECT_EQ(Find(r, "rom.device_descriptor")->reading, "not found in the 8190 bytes read before the link was lost");
    EXPECT_EQ(Differing(r), (Strings{"rom.device_descriptor", "rom.configuration_descriptor", "rom.endpoints"}));
}

// A notice raised by a layer (a read with no port open shows "Error 4" in the
// tool) is recorded, not shown: the probe never waits on a box.
TEST_F(ProbeTest, NoticesOfTheLayersAreNotShown) {
    uint8_t byte = 0;
    probe::TakeSuppressedNotices();
    EXPECT_EQ(ReadPort(&byte, 1), 1);
    EXPECT_EQ(probe::TakeSuppressedNotices(), Strings{"Error 4"});
    EXPECT_TRUE(fake::Boxes().empty());
}

}  // namespace
