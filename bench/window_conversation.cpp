#include "window_conversation.h"

#include "app/dialog_template.h"
#include "app/main_dialog.h"
#include "protocol/reports.h"
#include "stats.h"
#include "timed_bus.h"
#include "update/pacer.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QLineEdit>
#include <QProgressBar>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>

namespace vumo::bench {

namespace {

// Counts the paints of one control.
class PaintCounter final : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
    long paints = 0;
};

double ThreadCpuMicroseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

}  // namespace

int RunWindowConversation(const std::string& image, const std::string& tool) {
    using namespace std::chrono_literals;
    int argc = 1;
    char name[] = "vumo-bench-window";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    TimedSimulation simulation(sim::Mode::update, 1ms);
    std::atomic<const update::CountingPacer*> counted{nullptr};
    app::DialogOptions options;
    options.makePacer = [&counted] {
        auto pacer = std::make_unique<update::CountingPacer>();
        counted = pacer.get();
        return pacer;
    };
    options.prepare.toolPath = tool;
    options.applicationName = QString::fromUtf8(name);

    TurnTimings turns;
    std::optional<update::UpdateResult> result;
    long long pauses = 0;
    PaintCounter progressPaints;
    double windowCpu = 0;
    {
        app::CVumo_DFU_UtilityDlg dialog(simulation.bus(), std::move(options));
        dialog.messageBoxes().SetAnswerAll(true);
        dialog.show();
        if (dialog.deviceEntryCount() != 1) {
            std::fputs("window conversation: the simulated device is not listed\n", stderr);
            return 1;
        }
        dialog.OnDeviceOpenClicked();
        auto* path = qobject_cast<QLineEdit*>(dialog.control(app::kIdPath));
        if (dialog.openMode() != protocol::kModeUpdate || path == nullptr) {
            std::fputs("window conversation: the device could not be opened\n", stderr);
            return 1;
        }
        path->setText(QString::fromStdString(image));
        dialog.UpdateControls();
        if (auto* bar = qobject_cast<QProgressBar*>(dialog.control(app::kIdProgress)))
            bar->installEventFilter(&progressPaints);

        QEventLoop loop;
        QObject::connect(&dialog, &app::CVumo_DFU_UtilityDlg::updateFinished, &loop,
                         &QEventLoop::quit);
        QTimer::singleShot(120s, &loop, &QEventLoop::quit);
        simulation.Record(&turns);
        const double cpuBefore = ThreadCpuMicroseconds();
        dialog.OnUpdateClicked();
        if (dialog.UpdateRunning()) {
            loop.exec();
        } else {
            // The first stage refused the file; its box says why.
            for (const auto& box : dialog.messageBoxes().history())
                std::fprintf(stderr, "window conversation: %s: %s\n",
                             box.caption.toUtf8().constData(), box.text.toUtf8().constData());
        }
        windowCpu = ThreadCpuMicroseconds() - cpuBefore;
        simulation.Record(nullptr);
        result = dialog.lastUpdateResult();
        if (const auto* pacer = counted.load()) pauses = pacer->total().count();
    }
    if (!result || result->outcome != update::Outcome::ok) {
        std::fprintf(stderr, "window conversation: the update did not succeed: %s\n",
                     result ? result->message.c_str() : "no result");
        return 1;
    }
    // Turn 3 + i ends with block i going out (turns 0-2 end with LOCATION, SIZE, DFUSTART).
    // Before blocks 5, 10, 15 ... the warning changes from shown to hidden or back.
    std::vector<double> warningChanges, others;
    for (std::size_t t = 4; t + 2 < turns.fromTransport.size(); ++t)
        ((t - 3) % 5 == 0 ? warningChanges : others).push_back(turns.fromTransport[t]);
    std::printf("turns %zu median %.3f p99 %.3f max %.3f pauses %lld progress_paints %ld "
                "window_cpu_us %.0f median_warning_change %.3f median_other_blocks %.3f\n",
                turns.fromTransport.size(), Median(turns.fromTransport),
                Percentile(turns.fromTransport, 99), Maximum(turns.fromTransport), pauses,
                progressPaints.paints, windowCpu, Median(warningChanges), Median(others));
    return 0;
}

}  // namespace vumo::bench
