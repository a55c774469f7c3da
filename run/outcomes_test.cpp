// The list of outcomes itself: unique keys, lines and codes that fit each
// other, and the code sets as the sheets and the run's tests read them.
#include "run/outcomes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

TEST(OutcomesTest, KeysAreUniqueAndLinesFitTheirCodes) {
    std::set<std::string> keys;
    for (size_t i = 0; i < kOutcomeCount; ++i) {
        const Outcome& o = kOutcomes[i];
        SCOPED_TRACE(o.key);
        EXPECT_TRUE(keys.insert(o.key).second) << "key twice";
        // A line with a code has codes; a line without one lists none. Only
        // the search has a code that no line prints.
        const bool printed_code = std::strstr(o.line, "%d") != nullptr;
        const bool search = std::strncmp(o.key, "search-", 7) == 0;
        EXPECT_EQ(o.codes[0] != '\0', printed_code || search);
    }
    // Each of the nine notices ends at least one outcome.
    for (size_t b = 0; b < kBoxEntryCount; ++b) {
        if (kBoxEntries[b].notice == Notice::kNone) continue;
        bool used = false;
        for (size_t i = 0; i < kOutcomeCount; ++i) used = used || kOutcomes[i].notice == kBoxEntries[b].notice;
        EXPECT_TRUE(used) << kBoxEntries[b].key;
    }
}

TEST(OutcomesTest, CodeSets) {
    const struct { const char* key; int32_t code; bool listed; } cases[] = {
        {"upload", 101, true},  {"upload", 106, true},  {"upload", 107, false}, {"upload", 121, true},
        {"upload", 447, true},  {"upload", 451, true},  {"upload", 452, false}, {"upload", 501, true},
        {"search-none", 1, true}, {"search-none", 5, true}, {"search-none", 6, false}, {"search-answer", 6, true},
        {"prompt", 3, false},   {"sram-monitor", 73, true}, {"sram-monitor", 75, false},
        {"erase", 86, true},    {"erase", 87, false},   {"write", 703, false},  {"write", 902, true},
        {"compare", 542, true}, {"compare", 563, false},
        // The version rows split every failure code between them.
        {"version-unsupported", 30, true}, {"version-unsupported", 90, true}, {"version-unsupported", 100, false},
        {"version-unreadable", 30, false}, {"version-unreadable", 0, true}, {"version-unreadable", -480, true},
        {"version-unreadable", -1260, true}, {"version-unreadable", 780, true}, {"version-unreadable", 10, false},
        {"version-unreadable", 20, false}, {"version-unreadable", 41, false}, {"version-link", 41, true},
        {"version-link", 87, true}, {"version-link", 40, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.code));
        const Outcome* o = FindOutcome(c.key);
        ASSERT_NE(o, nullptr);
        EXPECT_EQ(HasCode(*o, c.code), c.listed);
    }
    EXPECT_EQ(FindOutcome("absent"), nullptr);
}

}  // namespace
