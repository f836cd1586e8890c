#include "app/application.h"

#include "app/caret_blink.h"
#include "app/command_line.h"
#include "app/main_dialog.h"
#include "app/message_boxes.h"
#include "platform/linux/linux_hid_bus.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace vumo::app {

int CVumo_DFU_UtilityApp::Run(int argc, char** argv) {
    const CommandLine commandLine = ParseCommandLine(argc, argv, kProgramName);
    if (commandLine.action != CommandLine::Action::run) {
        std::fputs(commandLine.output.c_str(),
                   commandLine.action == CommandLine::Action::print ? stdout : stderr);
        return commandLine.exitCode;
    }

    QApplication application(argc, argv);
    // The controls sit at fixed pixel places; one style everywhere keeps them fitting.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QCoreApplication::setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    // The desktop shell matches the window to its menu entry and icon by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.vumo.dfu_utility"));
    QIcon icon;
    for (const char* file : {":/icons/vumo-dfu-32.png", ":/icons/vumo-dfu-64.png",
                             ":/icons/vumo-dfu-256.png"})
        icon.addFile(QString::fromLatin1(file));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.vumo.dfu_utility"), icon));
    const CaretBlinkLimit caretBlink;

    if (commandLine.simulate) {
        simulation_ = std::make_unique<sim::Simulation>(*commandLine.simulate);
        bus_ = &simulation_->bus();
    } else {
        ownBus_ = platform::makeLinuxHidBus();
        if (!ownBus_) {
            MessageBoxes boxes(QString::fromUtf8(kProgramName));
            boxes.ShowApplication(
                nullptr, QStringLiteral("The system's HID devices can't be listed: udev is not "
                                        "available."));
            return kExitFailure;
        }
        bus_ = ownBus_.get();
    }
    InitInstance();
    return kExitOk;
}

bool CVumo_DFU_UtilityApp::InitInstance() {
    DialogOptions options;
    options.applicationName = QString::fromUtf8(kProgramName);
    {
        CVumo_DFU_UtilityDlg dialog(*bus_, std::move(options));
        dialog.exec();  // how it ended does not matter
    }
    return false;
}

}  // namespace vumo::app
