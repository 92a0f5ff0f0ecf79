// Facts about a device file, for explaining why it could not be used.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Another process that has `path` open, as /proc shows it to this user:
// its command name and pid. False when none is seen.
bool FindDeviceHolder(const char* path, char* name, size_t size, pid_t& pid);

// The udev rule that gives the logged-in user the supported receivers.
inline constexpr char kUdevRuleName[] = "70-navbeacon.rules";

// Whether the rule is where udev reads rules (/etc/udev/rules.d,
// /usr/lib/udev/rules.d, /lib/udev/rules.d).
bool UdevRuleInstalled();
