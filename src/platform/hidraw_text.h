#pragma once
// What the Linux kernel writes about HID devices, read as text: shared by the hidraw back end
// and by whatever else looks for the nodes of HID devices in sysfs (the uhid port finds the
// node of each device it made). Pure functions, defined with the hidraw back end; Linux only.

#include <optional>
#include <string>
#include <string_view>

namespace vumo::platform::hidraw {

// The value of KEY in uevent text (one KEY=VALUE per line); empty when the key is absent.
std::optional<std::string_view> ueventValue(std::string_view uevent, std::string_view key);

// N of a path or name ending in "hidrawN"; empty for anything else.
std::optional<unsigned> hidrawNumber(std::string_view pathOrName);

}  // namespace vumo::platform::hidraw
