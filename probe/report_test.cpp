// The probe's report: what the bench reads in the text, and what a program
// gets in the JSON.
#include "probe/report.h"

#include <gtest/gtest.h>

namespace {

using probe::Item;
using probe::Report;
using probe::Stage;
using probe::Verdict;

Item MakeItem(const std::string& id, Verdict verdict) {
    Item item;
    item.id = id;
    item.title = "title of " + id;
    item.has_address = true;
    item.address = 0xFFFB0034;
    item.has_word = true;
    item.word = 0x8600;
    item.reading = "bulk IN";
    item.expected = "bulk OUT";
    item.verdict = verdict;
    item.fields = {{"EPTYPE", "6", true}, {"type", "bulk IN", false}};
    return item;
}

Report ReadReport() {
    Report r;
    r.stage = Stage::kRead;
    r.port = "COM3";
    r.version_text = "v1.4 \"Nov\" 10";
    r.version_code = 10;
    r.items = {MakeItem("usb.csr0", Verdict::kAsExpected), MakeItem("usb.csr1", Verdict::kDiffers),
               MakeItem("usb.csr4", Verdict::kReported)};
    r.rom_bytes = probe::kRomSize;
    r.pmc = {0x12345678, 0};
    r.terminal_sent = true;
    return r;
}

TEST(ReportTest, TextNamesEveryItemItsVerdictAndTheDifferingOnes) {
    const std::string text = probe::TextReport(ReadReport());
    for (const char* line : {
             "Instrument on COM3, boot monitor \"v1.4 \"Nov\" 10\", version code 10.\n",
             "[as expected] usb.csr0: title of usb.csr0 at 0xFFFB0034 = 0x00008600\n"
             "              read:     bulk IN\n"
             "              expected: bulk OUT\n",
             "[differs]     usb.csr1: title of usb.csr1 at 0xFFFB0034 = 0x00008600\n",
             "[reported]    usb.csr4: ",
             "  0xFFFFFC00  12345678 00000000\n",
             "  No device or configuration descriptor of the sheet's shape found.\n",
             "T# sent, port closed.\n",
             "2 judged items: 1 as expected, 1 differ; 1 reported, not judged.\ndiffers: usb.csr1\n"
             "exit code 1: at least one judged item differs.\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << text;
    }
}

TEST(ReportTest, TextWhenNoInstrumentAnswered) {
    Report r;
    r.stage = Stage::kSearch;
    r.code = 1;
    EXPECT_EQ(probe::TextReport(r),
              "quillmere-probe: the instrument against the chip sheet (read only)\n\n"
              "No instrument answered: no port from COM1 to COM98 answered N# with \\n \\r (search code 1).\n\n"
              "exit code 2: no instrument answered.\n");
}

TEST(ReportTest, JsonCarriesItemsFieldsAndTheExitCode) {
    Report r = ReadReport();
    r.notices = {"Error 4"};
    r.link_lost = "usb.csr4";
    const std::string json = probe::JsonReport(r);
    for (const char* part : {
             "\"stage\": \"read\"",
             "\"port\": \"COM3\"",
             "\"version\": {\"text\": \"v1.4 \\\"Nov\\\" 10\", \"code\": 10}",
             "{\"id\": \"usb.csr1\", \"title\": \"title of usb.csr1\", \"address\": \"0xFFFB0034\", "
             "\"word\": \"0x00008600\", \"verdict\": \"differs\", \"reading\": \"bulk IN\", \"expected\": "
             "\"bulk OUT\", \"fields\": {\"EPTYPE\": 6, \"type\": \"bulk IN\"}}",
             "{\"address\": \"0xFFFFFC00\", \"word\": \"0x12345678\"}",
             "\"link_lost_at\": \"usb.csr4\"",
             "\"notices\": [\"Error 4\"]",
             "\"summary\": {\"judged\": 2, \"as_expected\": 1, \"differ\": 1, \"reported\": 1}",
             "\"exit_code\": 1\n}\n",
         }) {
        EXPECT_NE(json.find(part), std::string::npos) << "missing: " << part << "\nin:\n" << json;
    }
}

TEST(ReportTest, JsonEscape) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain v1.4", "plain v1.4"},
        {"quote \" and backslash \\", "quote \\\" and backslash \\\\"},
        {"\n\r\t", "\\n\\r\\t"},
        {std::string("nul \0 esc \x1B", 11), "nul \\u0000 esc \\u001B"},
        {"\x7F\xFF", "\\u007F\\u00FF"},
    };
    for (const auto& c : cases) EXPECT_EQ(probe::JsonEscape(c.in), c.out);
}

}  // namespace
