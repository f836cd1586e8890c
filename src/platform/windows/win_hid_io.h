#pragma once
// Opening a HID interface by its path and moving reports through it.
//
// Sharing stands where the Linux build takes its locks: a writer opens for writing and lets
// others only read (share mode FILE_SHARE_READ), a probe opens for writing and shares both
// ways, a reader opens for reading and shares both ways. So a probe or a second writer fails
// with ERROR_SHARING_VIOLATION (busy) while any program writes to the device, probes don't
// exclude each other, and readers never stand in anyone's way. hidclass gives every handle its
// own queue of input reports, so each reader sees every report.
//
// Reports look as they do everywhere in the program: byte 0 is the report ID, 0 for a device
// that doesn't number its reports; Windows already delivers and takes them so.

#include "platform/hid_bus.h"
#include "platform/windows/win_handle.h"

#include <cstddef>
#include <memory>
#include <string>

namespace vumo::platform::windows {

ProbeResult ProbeDevice(const std::string& path);
Opened<HidWriter> OpenDeviceWriter(const std::string& path);
Opened<HidReader> OpenDeviceReader(const std::string& path);

// A writer and a reader over a handle opened with FILE_FLAG_OVERLAPPED, which gives one whole
// report per ReadFile (a message-mode pipe does too, which is how tests drive them). Writes
// shorter than `outputLength` are padded with zeros to it, as hid.dll requires; reads take
// up to `inputLength` bytes. Null when an event can't be made.
std::unique_ptr<HidWriter> MakeOverlappedWriter(UniqueHandle file, std::size_t outputLength);
std::unique_ptr<HidReader> MakeOverlappedReader(UniqueHandle file, std::size_t inputLength);

}  // namespace vumo::platform::windows
