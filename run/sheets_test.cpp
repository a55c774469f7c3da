// The operator's sheets against the list of outcomes and the eleven boxes:
// every outcome has exactly one row in each sheet, with the list's codes,
// its line and its box; every box has a row with its caption and its text
// as the operator reads it.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "platform/fake_platform.h"
#include "run/outcomes.h"
#include "run/test_text.h"

namespace {

const char* const kSheets[] = {QUILLMERE_SHEET_DIR "/operator-sheet-en.html",
                               QUILLMERE_SHEET_DIR "/operator-sheet-ru.html"};

std::string ReadSheet(const char* path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a row shows: tags removed, entities decoded, runs of blanks and line
// breaks as one blank.
std::string Visible(const std::string& html) {
    std::string text = std::regex_replace(html, std::regex("<[^>]*>"), " ");
    text = std::regex_replace(text, std::regex("&amp;"), "&");
    text = std::regex_replace(text, std::regex("&gt;"), ">");
    text = std::regex_replace(text, std::regex("&lt;"), "<");
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The rows carrying attribute name: value -> (second attribute, row's HTML).
// A value seen twice is recorded under value + "#2".
std::map<std::string, std::pair<std::string, std::string>> Rows(const std::string& html, const char* name) {
    std::map<std::string, std::pair<std::string, std::string>> rows;
    const std::regex row(std::string("<tr data-") + name + "=\"([^\"]*)\"(?: data-codes=\"([^\"]*)\")?>([\\s\\S]*?)</tr>");
    for (std::sregex_iterator it(html.begin(), html.end(), row), end; it != end; ++it) {
        std::string key = (*it)[1].str();
        if (rows.count(key)) key += "#2";
        rows[key] = {(*it)[2].str(), (*it)[3].str()};
    }
    return rows;
}

// token appears in text as a whole number or range, not inside a longer one.
bool ShowsToken(const std::string& text, const std::string& token) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + 1)) {
        const bool before = at == 0 || !(std::isdigit(static_cast<unsigned char>(text[at - 1])) || text[at - 1] == '-');
        const size_t after = at + token.size();
        const bool behind = after == text.size() || !std::isdigit(static_cast<unsigned char>(text[after]));
        if (before && behind) return true;
    }
    return false;
}

// The first fixed piece of a line form, without its blanks: "error N" of
// " error N %d \n".
std::string FirstPiece(const char* line) {
    return Trim(std::string(line, std::strcspn(line, "%\n")));
}

TEST(SheetsTest, EveryOutcomeHasOneRowWithItsCodesLineAndBox) {
    for (const char* path : kSheets) {
        SCOPED_TRACE(path);
        const auto rows = Rows(ReadSheet(path), "outcome");
        EXPECT_EQ(rows.size(), kOutcomeCount) << "a row twice, or a row the list does not have";
        for (size_t i = 0; i < kOutcomeCount; ++i) {
            const Outcome& o = kOutcomes[i];
            SCOPED_TRACE(o.key);
            const auto row = rows.find(o.key);
            ASSERT_NE(row, rows.end()) << "no row";
            EXPECT_EQ(rows.count(std::string(o.key) + "#2"), 0u) << "two rows";
            EXPECT_EQ(row->second.first, o.codes);
            const std::string shown = Visible(row->second.second);
            std::istringstream codes(o.codes);
            for (std::string token; codes >> token;) {
                if (token != "x10") {
                    EXPECT_TRUE(ShowsToken(shown, token)) << "code " << token << " not shown";
                }
            }
            const std::string piece = FirstPiece(o.line);
            if (!piece.empty()) {
                EXPECT_NE(shown.find(piece), std::string::npos) << "line " << piece;
            }
            if (o.notice != Notice::kNone) {
                EXPECT_NE(shown.find(NoticeCaption(o.notice)), std::string::npos);
            }
        }
        for (const auto& row : rows) EXPECT_NE(FindOutcome(row.first.c_str()), nullptr) << "stale row " << row.first;
    }
}

TEST(SheetsTest, EveryBoxHasItsRowWithCaptionAndText) {
    for (const char* path : kSheets) {
        SCOPED_TRACE(path);
        const auto rows = Rows(ReadSheet(path), "box");
        EXPECT_EQ(rows.size(), kBoxEntryCount);
        for (size_t i = 0; i < kBoxEntryCount; ++i) {
            const BoxEntry& box = kBoxEntries[i];
            SCOPED_TRACE(box.key);
            fake::Reset();
            fake::QueueAnswer(6);
            if (box.show != nullptr) box.show();
            if (box.ask != nullptr) box.ask();
            ASSERT_EQ(fake::Boxes().size(), 1u);
            const std::string text = Trim(Visible(runtest::Cp1251ToUtf8(fake::Boxes()[0].text)));
            const std::string caption = Trim(fake::Boxes()[0].caption);
            const auto row = rows.find(box.key);
            ASSERT_NE(row, rows.end()) << "no row";
            const std::string shown = Visible(row->second.second);
            EXPECT_NE(shown.find(text), std::string::npos) << text;
            EXPECT_NE(shown.find(caption), std::string::npos) << caption;
        }
    }
}

// One page an operator opens with a double click: UTF-8 declared, nothing
// loaded from elsewhere.
TEST(SheetsTest, EachSheetIsOneSelfContainedPage) {
    for (const char* path : kSheets) {
        SCOPED_TRACE(path);
        const std::string html = ReadSheet(path);
        EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
        for (const char* outside : {"src=", "<link", "http:", "https:", "@import"})
            EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    }
}

}  // namespace
