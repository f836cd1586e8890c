// Pictures of the Windows dialog for the documentation, taken under Wine by
// scripts/windows-screenshots.sh: the program drives the real dialog on the simulated bus and
// copies it off the screen into BMP files in the folder it is given:
//   windows-idle.bmp     a device listed and open, a firmware file chosen
//   windows-update.bmp   an update on its way (the bar at block 12 of 40, the warning shown)
//   windows-error.bmp    the box of the same update when block 12 is never answered
// Not a test: the waits below are for the screen to show what was drawn.

#include "base/windows_text.h"
#include "frontend/bus_choice.h"
#include "tools/checksum/vector_table.h"
#include "winapp/resource_ids.h"
#include "winapp/utility_dialog.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vumo::winapp::BoxRecord;
using vumo::winapp::UtilityDialog;

std::wstring gFolder;
HWND gDialog = nullptr;
bool gBoxTaken = false;

// The screen's pixels inside `r`, as a 24-bit BMP.
bool SaveScreen(RECT r, const std::wstring& name) {
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    const DWORD size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    file.bfSize = file.bfOffBits + size;
    std::ofstream out((gFolder + L"\\" + name).c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(BITMAPINFOHEADER));
    out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(size));
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return static_cast<bool>(out);
}

RECT WindowRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

// Lets the window draw and the screen catch up.
void Settle(UtilityDialog& dialog, std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) dialog.Pump(20ms);
}

bool PumpUntil(UtilityDialog& dialog, const std::function<bool()>& condition,
               std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        dialog.Pump(20ms);
    }
    return true;
}

// Runs inside the box's own message loop: the box has been drawn by now.
void CALLBACK TakeBox(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    const HWND box = GetForegroundWindow();
    RECT r = WindowRect(gDialog);
    if (box != nullptr && box != gDialog) {
        const RECT b = WindowRect(box);
        UnionRect(&r, &r, &b);
    }
    InflateRect(&r, 8, 8);
    r.left = std::max(r.left, 0L);
    r.top = std::max(r.top, 0L);
    gBoxTaken = SaveScreen(r, L"windows-error.bmp");
    if (box != nullptr && box != gDialog) PostMessageW(box, WM_COMMAND, IDOK, 0);
}

std::wstring WriteFirmware(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 7;
    for (auto& b : image) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    vumo::tools::WriteWord(image, 0, 0x10008000u);
    for (std::size_t i = 1; i < vumo::tools::kSummedWords; ++i)
        vumo::tools::WriteWord(image, i,
                               (0x1A020000u + 0x400u + 8u * static_cast<std::uint32_t>(i)) | 1u);
    vumo::tools::WriteWord(image, vumo::tools::kChecksumWord, vumo::tools::VectorChecksum(image));
    const std::wstring path = L"C:\\firmware\\vumo-1.4.2.bin";
    CreateDirectoryW(L"C:\\firmware", nullptr);
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    return path;
}

int Run(const std::wstring& folder) {
    gFolder = folder;
    vumo::frontend::BusOptions busOptions;
    busOptions.simulate = "app,silent=IMAGE:12,return-delay=200";
    std::string error;
    vumo::frontend::BusFailure failure{};
    auto busChoice = vumo::frontend::BusChoice::Make(busOptions, error, failure);
    if (!busChoice) return 1;

    vumo::winapp::DialogOptions options;
    options.pauses.settle = 20ms;  // the device settles in a moment here
    options.limits.reply = 4s;
    options.showBox = [](HWND owner, const BoxRecord& box) {
        SetTimer(nullptr, 0, 800, TakeBox);
        return vumo::winapp::ShowSystemBox(owner, box);
    };
    UtilityDialog dialog(busChoice->bus(), std::move(options));
    if (!dialog.Create(GetModuleHandleW(nullptr))) return 1;
    gDialog = dialog.hwnd();
    SetWindowPos(gDialog, nullptr, 24, 24, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    SendDlgItemMessageW(gDialog, IDC_DEVICE_OPEN, BM_CLICK, 0, 0);
    SetDlgItemTextW(gDialog, IDC_PATH, WriteFirmware(40 * 128).c_str());
    SendMessageW(gDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    SetFocus(GetDlgItem(gDialog, IDC_UPDATE));
    Settle(dialog, 1500ms);
    if (!SaveScreen(WindowRect(gDialog), L"windows-idle.bmp")) return 1;

    SendDlgItemMessageW(gDialog, IDC_UPDATE, BM_CLICK, 0, 0);
    const auto position = [&] {
        return static_cast<int>(SendDlgItemMessageW(gDialog, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    };
    if (!PumpUntil(dialog, [&] { return position() == 12 + 31; })) return 1;
    Settle(dialog, 1000ms);
    if (!SaveScreen(WindowRect(gDialog), L"windows-update.bmp")) return 1;

    if (!PumpUntil(dialog, [&] { return dialog.updatesFinished() == 1; })) return 1;
    return gBoxTaken ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: winapp_screenshots FOLDER\n", stderr);
        return 2;
    }
    return Run(argv[1]);
}
