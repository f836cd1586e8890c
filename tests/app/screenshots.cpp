// Renders the window into PNG files for the documentation, on the offscreen platform and the
// simulated bus:
//   window-empty.png        started with no device
//   window-device-open.png  a device open, a firmware file chosen, ready to update
//   window-hint.png         a failure box with its hint: the device stopped answering
//   window-status.png       an update under way, its status line saying which block goes out
//   station-running.png     the station window flashing a bench of ten devices
//   station-finished.png    the run stopped: nine green, one red, the summary and the log
// Usage: app_screenshots <folder>

#include "app/application.h"
#include "app/dialog_template.h"
#include "app/main_dialog.h"
#include "app/station_tile.h"
#include "app/station_window.h"
#include "sim/sim_hid_bus.h"
#include "sim/simulation.h"
#include "update/pacer.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

namespace {

bool Save(QWidget& window, const QString& file) {
    const bool ok = window.grab().save(file, "PNG");
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write",
                 file.toLocal8Bit().constData());
    return ok;
}

// A stand-in for the checksum tool that accepts the file, and a firmware file of `blocks`.
QString WriteTool(const QTemporaryDir& dir) {
    const QString path = dir.filePath(QStringLiteral("checksum"));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("#!/bin/sh\necho 'Adding 0x10008000'\necho 'Adding 0x1a020000'\n");
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString WriteFirmware(const QTemporaryDir& dir, int bytes) {
    const QString path = dir.filePath(QStringLiteral("vumo-1.2.0.bin"));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray data(bytes, '\x5a');
    data[0] = 0;
    file.write(data);
    return path;
}

// Grabs the next message box once it is up, then closes it; `ok` tells whether it was saved.
void GrabNextBox(const QString& file, bool& ok) {
    QTimer::singleShot(0, [file, &ok] {
        QTimer::singleShot(50, [file, &ok] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                std::fprintf(stderr, "no box to grab for %s\n", file.toLocal8Bit().constData());
                ok = false;
                return;
            }
            ok = Save(*box, file);
            box->accept();
        });
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The station's log goes to its default place under a home folder of its own, which the
    // window shows as ~/.local/share/vumo-dfu/station-log.jsonl, as on any desk.
    const QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qunsetenv("XDG_DATA_HOME");
    QApplication application(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: app_screenshots <folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists() && !QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "can't make %s\n", argv[1]);
        return 1;
    }
    using vumo::app::CVumo_DFU_UtilityDlg;
    vumo::app::DialogOptions options;
    options.applicationName = QString::fromUtf8(vumo::app::kProgramName);
    bool ok = true;
    {
        vumo::sim::SimHidBus emptyBus;
        CVumo_DFU_UtilityDlg window(emptyBus, options);
        window.show();
        ok = Save(window, folder.filePath(QStringLiteral("window-empty.png"))) && ok;
    }
    {
        vumo::sim::Simulation simulation;
        CVumo_DFU_UtilityDlg window(simulation.bus(), options);
        window.show();
        window.OnDeviceOpenClicked();
        qobject_cast<QLineEdit*>(window.control(vumo::app::kIdPath))
            ->setText(QStringLiteral("/home/user/firmware/vumo-1.2.0.bin"));
        window.UpdateControls();
        ok = Save(window, folder.filePath(QStringLiteral("window-device-open.png"))) && ok;
    }
    QTemporaryDir temp;
    const QString tool = WriteTool(temp);
    {
        // The device stops answering at READY?: the box keeps its text and says what to do.
        vumo::sim::SimulateOptions simulate;
        std::string error;
        vumo::sim::ParseSimulateOptions("dfu,silent=READY", simulate, error);
        vumo::sim::Simulation simulation(simulate);
        vumo::app::DialogOptions o = options;
        o.makePacer = [] { return std::make_unique<vumo::update::CountingPacer>(); };
        o.limits.reply = std::chrono::milliseconds(200);
        o.prepare.toolPath = tool.toStdString();
        CVumo_DFU_UtilityDlg window(simulation.bus(), o);
        window.show();
        window.OnDeviceOpenClicked();
        qobject_cast<QLineEdit*>(window.control(vumo::app::kIdPath))
            ->setText(WriteFirmware(temp, 3000));
        window.UpdateControls();
        bool grabbed = false;
        QObject::connect(&window.messageBoxes(), &vumo::app::MessageBoxes::boxShown, &window,
                         [&](const vumo::app::BoxRecord&) {
                             GrabNextBox(folder.filePath(QStringLiteral("window-hint.png")),
                                         grabbed);
                         });
        window.OnUpdateClicked();
        ok = QTest::qWaitFor([&] { return window.lastUpdateResult().has_value(); }, 10'000) && ok;
        ok = grabbed && ok;
    }
    {
        // An update of 1024 blocks, held at block 212 (the device keeps that reply), so the
        // status line and the bar stand still for the picture.
        vumo::sim::SimulateOptions simulate;
        std::string error;
        vumo::sim::ParseSimulateOptions("dfu,silent=IMAGE:211", simulate, error);
        vumo::sim::Simulation simulation(simulate);
        vumo::app::DialogOptions o = options;
        o.makePacer = [] { return std::make_unique<vumo::update::CountingPacer>(); };
        o.limits.reply = std::chrono::milliseconds(60'000);
        o.prepare.toolPath = tool.toStdString();
        CVumo_DFU_UtilityDlg window(simulation.bus(), o);
        window.show();
        window.OnDeviceOpenClicked();
        auto* path = qobject_cast<QLineEdit*>(window.control(vumo::app::kIdPath));
        path->setText(WriteFirmware(temp, 131'000));
        window.UpdateControls();
        const QString held = QStringLiteral("uploading block 212 of 1024");
        bool reached = false;
        QObject::connect(&window, &CVumo_DFU_UtilityDlg::statusShown, &window,
                         [&](const QString& text) { reached = reached || text == held; });
        window.OnUpdateClicked();
        if (!QTest::qWaitFor([&] { return reached; }, 10'000)) {
            std::fprintf(stderr, "the update did not reach block 212: \"%s\"\n",
                         window.statusLine()->text().toLocal8Bit().constData());
            ok = false;
        }
        QTest::qWait(100);
        path->setText(QStringLiteral("/home/user/firmware/vumo-1.2.0.bin"));
        path->setCursorPosition(0);
        ok = Save(window, folder.filePath(QStringLiteral("window-status.png"))) && ok;
        // Closing stops the held update; the answer to "Close anyway?" is yes.
        window.messageBoxes().SetAnswerAll(true);
    }
    {
        // A bench of ten: some answer slower (the running picture), one stops answering.
        vumo::sim::SimulateOptions simulate;
        std::string error;
        vumo::sim::ParseSimulateOptions(
            "dfu,devices=10,return-delay=5,3@silent=IMAGE:560,2@reply-delay=2,"
            "5@reply-delay=3,7@reply-delay=2,8@reply-delay=4,10@reply-delay=3",
            simulate, error);
        vumo::sim::Simulation simulation(simulate);
        vumo::app::StationWindowOptions o;
        o.applicationName = options.applicationName;
        o.makePacer = [] { return std::make_unique<vumo::update::CountingPacer>(); };
        o.limits = {std::chrono::milliseconds(1500), std::chrono::milliseconds(1000),
                    std::chrono::milliseconds(1000)};
        o.prepare.toolPath = tool.toStdString();
        vumo::app::StationWindow window(simulation.bus(), o);
        window.messageBoxes().SetAnswerAll(true);
        window.show();
        window.resize(1040, 700);
        ok = QTest::qWaitForWindowExposed(&window) && ok;
        window.ChooseFirmware(WriteFirmware(temp, 100'000));
        window.pathEdit()->setText(QStringLiteral("/home/operator/firmware/vumo-1.2.0.bin"));
        window.OnStartClicked();
        // Running: the quick ones are done, the slower ones part way.
        ok = QTest::qWaitFor([&] { return window.counters().ok >= 1; }, 10'000) && ok;
        QTest::qWait(150);
        ok = Save(window, folder.filePath(QStringLiteral("station-running.png"))) && ok;
        ok = QTest::qWaitFor([&] { return window.counters().running == 0; }, 20'000) && ok;
        window.OnStopClicked();
        ok = QTest::qWaitFor([&] { return !window.running(); }, 10'000) && ok;
        QTest::qWait(150);
        ok = Save(window, folder.filePath(QStringLiteral("station-finished.png"))) && ok;
        window.close();
    }
    return ok ? 0 : 1;
}
