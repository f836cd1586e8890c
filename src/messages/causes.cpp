#include "messages/causes.h"

#include <array>

namespace vumo::messages {
namespace {

struct OpenRow {
    platform::OpenStatus status;
    const char* before;  // the cause is before + path + after
    const char* after;
    const char* hint;
};

constexpr std::array kOpenRows{
    OpenRow{platform::OpenStatus::gone, "", " is no longer present",
            "check that the device is plugged in, then try again"},
    OpenRow{platform::OpenStatus::permissionDenied, "permission denied on ", "",
            "install the udev rule, run 'udevadm control --reload' and replug the device"},
    OpenRow{platform::OpenStatus::busy, "", " is held by another program",
            "close the other program that uses the device, then try again"},
    OpenRow{platform::OpenStatus::failed, "", " could not be opened",
            "replug the device and try again"},
};

struct PrepareRow {
    image::PrepareFailure failure;
    const char* hint;
};

constexpr std::array kPrepareRows{
    PrepareRow{image::PrepareFailure::toolNotFound,
               "install the checksum tool beside the program or in its helper folder, or name "
               "it with VUMO_CHECKSUM_TOOL"},
    PrepareRow{image::PrepareFailure::toolTimedOut,
               "check that the checksum tool is the right program; it must end on its own"},
    PrepareRow{image::PrepareFailure::fileChanged,
               "make sure nothing writes to the file while it is checked, then choose it again"},
    PrepareRow{image::PrepareFailure::notFirmware,
               "choose the firmware file made for this device"},
    PrepareRow{image::PrepareFailure::tooLarge,
               "choose the firmware file made for this device; the largest file that fits is "
               "131,071 bytes"},
};

// The size limit in plain words: the fixed text names the limit, this says why a file that
// fills the 1024 blocks exactly is still one byte too long.
constexpr const char* kTooLargeCause =
    "blocks are counted as the file's length divided by 128, plus one, so a file of 131,072 "
    "bytes (1024 full blocks) would need a 1025th block, and the device has 1024";

// What the update's fixed messages mean and what to do, by the failure the engine reports.
struct UpdateRow {
    UpdateFailure failure;
    const char* cause;
    const char* hint;
};

constexpr const char* kStaysInLoader =
    "the device stays in its update loader: pressing Update again (or running the update "
    "again) flashes it directly";

constexpr std::array kUpdateRows{
    UpdateRow{UpdateFailure::readyTimeout,
              "the device in its update loader stopped answering: it did not reply to the "
              "first command of the upload",
              kStaysInLoader},
    UpdateRow{UpdateFailure::locationTimeout,
              "the device stopped answering when it was told where the image goes",
              kStaysInLoader},
    UpdateRow{UpdateFailure::sizeTimeout,
              "the device stopped answering when it was told the size of the image",
              kStaysInLoader},
    UpdateRow{UpdateFailure::startTimeout,
              "the device stopped answering when the upload was to start", kStaysInLoader},
    UpdateRow{UpdateFailure::blockTimeout,
              "the device stopped answering in the middle of the upload; its firmware is "
              "half-written",
              kStaysInLoader},
    UpdateRow{UpdateFailure::endTimeout,
              "the device did not confirm the end of the upload in time",
              "if it restarts with the new firmware nothing more is needed; if it stays in its "
              "update loader, pressing Update again (or running the update again) flashes it "
              "directly"},
    UpdateRow{UpdateFailure::notOpened,
              "the device came back in its update loader but could not be opened",
              "check that the udev rule is installed and nothing else holds the device; it "
              "stays in its update loader, and pressing Update again (or running the update "
              "again) flashes it directly"},
    UpdateRow{UpdateFailure::didNotReturn,
              "the device was told to switch to its update loader but did not come back on "
              "the bus in time",
              "unplug it and plug it in again; once it is listed in update mode, open it and "
              "update it again: it is flashed directly"},
};

// The first stage's own account of why it failed.
std::string PrepareCauseText(const image::PrepareResult& result) { return result.cause; }

// Where the first of several sentences ends: the ". " before a capital letter, or npos.
std::string_view::size_type FirstSentenceEnd(std::string_view text) {
    for (auto at = text.find(". "); at != std::string_view::npos; at = text.find(". ", at + 1)) {
        if (at + 2 < text.size() && text[at + 2] >= 'A' && text[at + 2] <= 'Z') return at;
    }
    return std::string_view::npos;
}

std::string Sentence(std::string_view phrase) {
    std::string s(phrase);
    if (!s.empty() && s.front() >= 'a' && s.front() <= 'z')
        s.front() = static_cast<char>(s.front() - 'a' + 'A');
    if (!s.empty() && s.back() != '.') s += '.';
    return s;
}

}  // namespace

Cause OpenCause(platform::OpenStatus status, std::string_view path) {
    const std::string where = path.empty() ? std::string("the device") : std::string(path);
    for (const OpenRow& row : kOpenRows) {
        if (row.status == status) return {row.before + where + row.after, row.hint};
    }
    return {};
}

Cause PrepareCause(const image::PrepareResult& result) {
    if (result.ok()) return {};
    Cause cause{PrepareCauseText(result), {}};
    if (cause.text.empty() && result.failure == image::PrepareFailure::tooLarge)
        cause.text = kTooLargeCause;
    for (const PrepareRow& row : kPrepareRows) {
        if (row.failure == result.failure) cause.hint = row.hint;
    }
    return cause;
}

Cause UpdateCause(UpdateFailure failure, std::string_view detail) {
    for (const UpdateRow& row : kUpdateRows) {
        if (row.failure != failure) continue;
        if (detail.empty()) return {row.cause, row.hint};
        // The engine's account may bring its own advice after its first sentence ("the device
        // left the bus at block 3. Plug it in again: ..."); that advice is the hint then, and
        // the table's would only say it a second time.
        if (const auto end = FirstSentenceEnd(detail); end != std::string_view::npos)
            return {std::string(detail.substr(0, end)), std::string(detail.substr(end + 2))};
        return {std::string(detail), row.hint};
    }
    return {std::string(detail), {}};
}

std::string DetailText(const Cause& cause) {
    // A hint goes with a cause: alone it would be a guess at why.
    if (cause.text.empty()) return {};
    std::string detail = Sentence(cause.text);
    if (!cause.hint.empty()) detail += '\n' + Sentence(cause.hint);
    return detail;
}

}  // namespace vumo::messages
