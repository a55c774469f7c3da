// The udev rule for the instrument, built from the USB ids in the device
// descriptors the probe found in the boot ROM region.
#ifndef QUILLMERE_PROBE_UDEV_H
#define QUILLMERE_PROBE_UDEV_H

#include <string>

#include "probe/probe.h"

namespace probe {

// Where the rule is meant to go on a Linux machine.
constexpr const char* kUdevRulePath = "/etc/udev/rules.d/70-quillmere.rules";

// The rules file for report's instrument: comment lines saying where it came
// from and how to install it, then for each distinct vendor and product id
// pair (in the order the descriptors lie) a line that keeps a modem manager
// off the instrument and one that gives its serial device to the group
// dialout. Ids are four lowercase hexadecimal digits, as udev compares them.
// Empty when the report holds no device descriptor.
std::string UdevRule(const Report& report);

// Exit code of --udev-rule: 0 a rule was built; 1 the instrument answered but
// no device descriptor was found in its boot ROM region (the report's
// rom.device_descriptor differs); 2 no instrument answered.
int UdevRuleExitCode(const Report& report);

}  // namespace probe

#endif
