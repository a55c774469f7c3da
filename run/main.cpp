// The tool's entry point. Arguments are ignored; the exit code is always 0,
// the outcome is told by the console log and the final notice.
#include <clocale>
#include <cstdio>

#include "run/run.h"

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setlocale(LC_CTYPE, "");
    RunProgramming();
    return 0;
}
