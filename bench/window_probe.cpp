// vumo-bench-window: vumo-dfu-utility with a probe for the benchmarks. It runs the very same
// application object; a start-up routine that Qt calls when the application object is built
// adds an event filter that reports, on descriptor 3:
//   main NS      CLOCK_MONOTONIC at entry to main()
//   painted NS   once the window's first frame has been painted
//   open MODE    with VUMO_BENCH_OPEN=1: after the first frame, the first device in the list
//                was opened as the Open button does it (MODE 13 or 223; 0: it failed)
//   ready        all that was asked for is done; the program is left alone from here on
// With VUMO_BENCH_BACKGROUND=1 the window is then deactivated, as when the user turns to
// another window. With VUMO_BENCH_CARET_BLINK=0 the text caret does not blink (flash time 0),
// which tells the caret's timer apart from everything else that wakes the program.
// Closing its stdin closes the window as the Close button does, so the program ends normally.
//
//   vumo-bench-window --bench-conversation IMAGE TOOL
// instead runs one whole update through the window on a timed simulated bus (see
// window_conversation.h); the probe stays out of it.

#include "app/application.h"
#include "app/main_dialog.h"
#include "window_conversation.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr int kReportFd = 3;
bool g_probe = true;

long long MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

void Report(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const auto n = ::write(kReportFd, text.data(), text.size());
}

vumo::app::CVumo_DFU_UtilityDlg* FindDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<vumo::app::CVumo_DFU_UtilityDlg*>(w)) return dialog;
    return nullptr;
}

void OpenFirstDevice() {
    auto* dialog = FindDialog();
    if (dialog == nullptr || dialog->deviceEntryCount() == 0) {
        Report("open 0");
        return;
    }
    dialog->OnDeviceOpenClicked();
    Report("open " + std::to_string(dialog->openMode()));
}

bool EnvironmentIs(const char* name, const char* value) {
    const char* set = std::getenv(name);
    return set != nullptr && std::string(set) == value;
}

class FirstPaint final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!seen_ && event->type() == QEvent::Paint &&
            qobject_cast<vumo::app::CVumo_DFU_UtilityDlg*>(watched) != nullptr) {
            seen_ = true;
            // The children paint in the same pass; the frame is complete once the event loop
            // comes back to its queue.
            QTimer::singleShot(0, this, [this] { FramePainted(); });
        }
        return false;
    }

private:
    void FramePainted() {
        Report("painted " + std::to_string(MonotonicNs()));
        qApp->removeEventFilter(this);
        if (EnvironmentIs("VUMO_BENCH_OPEN", "1")) OpenFirstDevice();
        if (EnvironmentIs("VUMO_BENCH_BACKGROUND", "1")) QApplication::setActiveWindow(nullptr);
        Report("ready");
    }
    bool seen_ = false;
};

void InstallProbe() {
    if (!g_probe) return;
    if (EnvironmentIs("VUMO_BENCH_CARET_BLINK", "0")) QApplication::setCursorFlashTime(0);
    auto* probe = new FirstPaint;
    probe->setParent(qApp);
    qApp->installEventFilter(probe);
    // End of stdin: close the window the way the Close button does.
    auto* input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(input, &QSocketNotifier::activated, qApp, [input] {
        char byte = 0;
        if (::read(STDIN_FILENO, &byte, 1) > 0) return;
        input->setEnabled(false);
        if (auto* dialog = FindDialog()) dialog->OnCancel();
    });
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallProbe)

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--bench-conversation") {
        g_probe = false;
        return vumo::bench::RunWindowConversation(argv[2], argv[3]);
    }
    Report("main " + std::to_string(MonotonicNs()));
    vumo::app::CVumo_DFU_UtilityApp theApp;
    return theApp.Run(argc, argv);
}
