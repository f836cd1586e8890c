#pragma once
// Opening a HID interface by its path and moving reports through it.
//
// Exclusion stands where the Linux build takes its locks. A writer holds a named object per
// device (WriterLockName) and opens for writing, letting others only read (FILE_SHARE_READ); a
// probe fails while that object exists, then opens for writing sharing both ways; a reader
// opens for reading sharing both ways. So a probe or a second writer is `busy` while a writer
// holds the device (ours by the name; anyone's by the share modes where the system applies
// them: Windows does, Wine does not), probes don't exclude each other, and readers stand in
// no one's way. hidclass gives every handle its own queue of input reports, so each reader
// sees every report.
//
// Reports look as they do everywhere in the program: byte 0 is the report ID, 0 for a device
// that doesn't number its reports; Windows already delivers and takes them so.

#include "platform/hid_bus.h"
#include "platform/windows/win_handle.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace vumo::platform::windows {

ProbeResult ProbeDevice(const std::string& path);
Opened<HidWriter> OpenDeviceWriter(const std::string& path);
Opened<HidReader> OpenDeviceReader(const std::string& path);

// A writer and a reader over a handle opened with FILE_FLAG_OVERLAPPED, which gives one whole
// report per ReadFile (a message-mode pipe does too, which is how tests drive them). Writes
// shorter than `outputLength` are padded with zeros to it, as hid.dll requires; reads take
// up to `inputLength` bytes. Null when an event can't be made. `beforeWait`, for tests, runs
// each time a read is about to wait for its report, so a test can cancel a read it knows waits.
std::unique_ptr<HidWriter> MakeOverlappedWriter(UniqueHandle file, std::size_t outputLength);
std::unique_ptr<HidReader> MakeOverlappedReader(UniqueHandle file, std::size_t inputLength,
                                                std::function<void()> beforeWait = {});

}  // namespace vumo::platform::windows
