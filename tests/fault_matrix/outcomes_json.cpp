// Prints the tool's list of outcomes as JSON on standard output, so that the
// fault matrix judges a failed run by the same lines, codes and boxes the tool
// itself holds to (run/outcomes.*) rather than by a copy of its own.
//
// Output: {"outcomes": [{"key", "after", "line", "codes", "notice"}, ...]}
// with "codes" every code HasCode() accepts for the outcome, as numbers, and
// "notice" the caption of the box ("" for none); the other fields as in
// run/outcomes.h. Exit code 0.
#include <cstdint>
#include <cstdio>

#include "run/outcomes.h"

namespace {

// The codes tried against each outcome: wider than any the tool prints (a
// version byte gives -480 to 2070, the other codes are below 1000).
constexpr int32_t kLowestCode = -9999;
constexpr int32_t kHighestCode = 9999;

// A JSON string: quotes, backslashes and control characters escaped.
void PrintString(const char* text) {
    std::putchar('"');
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            std::putchar('\\');
            std::putchar(c);
        } else if (c < 0x20) {
            std::printf("\\u%04x", c);
        } else {
            std::putchar(c);
        }
    }
    std::putchar('"');
}

}  // namespace

int main() {
    std::printf("{\"outcomes\": [\n");
    for (size_t i = 0; i < kOutcomeCount; ++i) {
        const Outcome& o = kOutcomes[i];
        std::printf("  {\"key\": ");
        PrintString(o.key);
        std::printf(", \"after\": ");
        PrintString(o.after);
        std::printf(", \"line\": ");
        PrintString(o.line);
        std::printf(", \"codes\": [");
        const char* comma = "";
        for (int32_t code = kLowestCode; code <= kHighestCode; ++code) {
            if (!HasCode(o, code)) continue;
            std::printf("%s%d", comma, static_cast<int>(code));
            comma = ", ";
        }
        std::printf("]");
        std::printf(", \"notice\": ");
        PrintString(NoticeCaption(o.notice));
        std::printf("}%s\n", i + 1 < kOutcomeCount ? "," : "");
    }
    std::printf("]}\n");
    return 0;
}
