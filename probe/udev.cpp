// The udev rule for the instrument from the ids its boot ROM's descriptors
// carry, so that nobody has to look them up by hand.
#include "probe/udev.h"

#include <cstdio>
#include <utility>
#include <vector>

namespace probe {

namespace {

std::string Hex4(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id));
    return text;
}

}  // namespace

std::string UdevRule(const Report& report) {
    std::vector<std::pair<uint16_t, uint16_t>> ids;
    for (const DeviceDescriptor& d : report.device_descriptors) {
        const std::pair<uint16_t, uint16_t> id(d.vendor_id, d.product_id);
        bool known = false;
        for (const auto& seen : ids) known = known || seen == id;
        if (!known) ids.push_back(id);
    }
    if (ids.empty()) return "";

    std::string out =
        "# The instrument's boot monitor as quillmere-probe read it from the boot ROM's USB descriptors";
    out += report.port.empty() ? "." : " on " + report.port + ".";
    out += "\n";
    out += std::string("# Install: quillmere-probe --udev-rule | sudo tee ") + kUdevRulePath + "\n";
    out += "# then: sudo udevadm control --reload, and plug the instrument in again.\n";
    out += "# The first line keeps a modem manager off the port, the second gives the serial device\n";
    out += "# to the group dialout (sudo usermod -aG dialout $USER, then log in again).\n";
    if (ids.size() > 1) out += "# The boot ROM holds more than one device descriptor: one pair of lines for each.\n";
    for (const auto& id : ids) {
        const std::string match = "ATTRS{idVendor}==\"" + Hex4(id.first) + "\", ATTRS{idProduct}==\"" +
                                  Hex4(id.second) + "\"";
        out += "ACTION==\"add|change\", SUBSYSTEMS==\"usb\", " + match + ", ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
        out += "ACTION==\"add|change\", SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", " + match +
               ", GROUP=\"dialout\", MODE=\"0660\"\n";
    }
    return out;
}

int UdevRuleExitCode(const Report& report) {
    if (report.ExitCode() == 2) return 2;
    return report.device_descriptors.empty() ? 1 : 0;
}

}  // namespace probe
