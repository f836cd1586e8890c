// Renders the window into PNG files for the documentation, on the offscreen platform and the
// simulated bus:
//   window-empty.png        started with no device
//   window-device-open.png  a device open, a firmware file chosen, ready to update
// Usage: app_screenshots <folder>

#include "app/application.h"
#include "app/dialog_template.h"
#include "app/main_dialog.h"
#include "platform/sim_hid_bus.h"
#include "sim/simulation.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>

#include <cstdio>

namespace {

bool Save(QWidget& window, const QString& file) {
    const bool ok = window.grab().save(file, "PNG");
    std::fprintf(ok ? stdout : stderr, "%s %s\n", ok ? "wrote" : "could not write",
                 file.toLocal8Bit().constData());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
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
        vumo::platform::SimHidBus emptyBus;
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
    return ok ? 0 : 1;
}
