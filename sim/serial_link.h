// The debug serial unit's link: the pty line as the ROM monitor's line, and
// as the debug unit's line while code that the monitor started runs. The
// PC's side knows neither, so this joins the two here.
#ifndef QUILLMERE_SIM_SERIAL_LINK_H
#define QUILLMERE_SIM_SERIAL_LINK_H

#include <cstdint>

#include "sim/host/pty_line.h"
#include "sim/rom/rom_monitor.h"

namespace sim {

class SerialLinkLine : public MonitorLine {
 public:
    // line is not owned.
    explicit SerialLinkLine(PtyLine* line) : line_(line) {}

    bool PollByte(uint8_t* byte) override { return line_->PollByte(byte); }
    bool WaitByte(int max_ms) override { return line_->WaitByte(max_ms); }
    void SendByte(uint8_t byte) override { line_->SendByte(byte); }
    bool Stopped() override { return line_->Stopped(); }
    void BeginCall() override { line_->BeginCall(); }
    void EndCall(bool returned) override { line_->EndCall(returned); }

 private:
    PtyLine* line_;
};

}  // namespace sim

#endif
