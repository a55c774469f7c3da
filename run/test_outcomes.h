// Test helpers that hold what a run prints and returns to the list of
// outcomes the operator's sheets explain.
#ifndef QUILLMERE_RUN_TEST_OUTCOMES_H
#define QUILLMERE_RUN_TEST_OUTCOMES_H

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "run/outcomes.h"

namespace outcometest {

// A code a layer returned must be one of the codes the list gives the
// outcome key (the stage's row in the sheets).
inline void ExpectListed(const char* key, int32_t code) {
    const Outcome* outcome = FindOutcome(key);
    ASSERT_NE(outcome, nullptr) << key;
    EXPECT_TRUE(HasCode(*outcome, code)) << "code " << code << " is not listed for " << key;
}

// The line form as a regular expression for the end of the console.
inline std::regex LinePattern(const char* line) {
    std::string pattern;
    for (const char* p = line; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            pattern += "(-?[0-9]+)";
            ++p;
        } else if (p[0] == '%' && p[1] == 'n') {
            pattern += "[0-9]+";
            ++p;
        } else if (p[0] == '%' && p[1] == 'X') {
            pattern += "[0-9A-F]+";
            ++p;
        } else if (std::strchr("\\^$.|?*+()[]{}", *p) != nullptr) {
            pattern += '\\';
            pattern += *p;
        } else {
            pattern += *p;
        }
    }
    return std::regex(pattern + "$");
}

// Where the last of the list's stage headings starts in console, and which
// it is (the longer one when two start at the same place); npos if none.
inline size_t LastHeading(const std::string& console, std::string* heading) {
    size_t best = std::string::npos;
    for (size_t i = 0; i < kOutcomeCount; ++i) {
        const std::string after = kOutcomes[i].after;
        if (after.empty()) continue;
        const size_t at = console.rfind(after);
        if (at == std::string::npos) continue;
        if (best == std::string::npos || at > best || (at == best && after.size() > heading->size())) {
            best = at;
            *heading = after;
        }
    }
    return best;
}

// A whole run's console and the captions of its boxes show the outcome key:
// its stage heading is the last one printed, the console ends with its line
// (and a listed code), and its box is the last one shown (none after the
// questions for an outcome without a box).
inline void ExpectOutcome(const char* key, const std::string& console, const std::vector<std::string>& captions) {
    SCOPED_TRACE(std::string("outcome ") + key);
    const Outcome* outcome = FindOutcome(key);
    ASSERT_NE(outcome, nullptr);
    std::string tail = console;
    if (outcome->after[0] != '\0') {
        std::string heading;
        const size_t at = LastHeading(console, &heading);
        ASSERT_NE(at, std::string::npos) << "no stage heading in " << console;
        EXPECT_EQ(heading, outcome->after);
        tail = console.substr(at + heading.size());
    }
    if (outcome->line[0] != '\0') {
        std::smatch m;
        EXPECT_TRUE(std::regex_search(tail, m, LinePattern(outcome->line))) << "console ends " << tail;
        if (m.size() > 1 && m[1].matched) {
            EXPECT_TRUE(HasCode(*outcome, std::stoi(m[1].str()))) << "code " << m[1].str() << " not listed";
        }
    }
    std::vector<std::string> notices;
    for (const std::string& c : captions)
        if (c != " Attention ") notices.push_back(c);
    if (outcome->notice == Notice::kNone) {
        EXPECT_TRUE(notices.empty());
    } else {
        ASSERT_FALSE(notices.empty());
        EXPECT_EQ(notices.back(), NoticeCaption(outcome->notice));
    }
}

}  // namespace outcometest

#endif
