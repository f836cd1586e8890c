#include "app/application.h"

#include "app/caret_blink.h"
#include "app/command_line.h"
#include "app/main_dialog.h"
#include "app/message_boxes.h"
#include "app/station_window.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>

namespace vumo::app {

int CVumo_DFU_UtilityApp::Run(int argc, char** argv) {
    commandLine_ = ParseCommandLine(argc, argv, kProgramName);
    const CommandLine& commandLine = commandLine_;
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
    QGuiApplication::setDesktopFileName(commandLine.station
                                            ? QStringLiteral("org.vumo.dfu_station")
                                            : QStringLiteral("org.vumo.dfu_utility"));
    QIcon icon;
    for (const char* file : {":/icons/vumo-dfu-32.png", ":/icons/vumo-dfu-64.png",
                             ":/icons/vumo-dfu-256.png"})
        icon.addFile(QString::fromLatin1(file));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.vumo.dfu_utility"), icon));
    const CaretBlinkLimit caretBlink;

    std::string error;
    frontend::BusFailure failure = frontend::BusFailure::none;
    busChoice_ = frontend::BusChoice::Make(commandLine.bus, error, failure);
    if (!busChoice_) {
        MessageBoxes boxes(QString::fromUtf8(kProgramName));
        boxes.ShowApplication(nullptr, QString::fromStdString(error));
        return failure == frontend::BusFailure::usage ? kExitUsage : kExitFailure;
    }
    bus_ = &busChoice_->bus();
    if (commandLine.station)
        RunStation();
    else
        InitInstance();
    // The recording gets its end; a replay says whether this run went as recorded.
    const auto conclusion = busChoice_->Conclude(kExitOk, kExitFailure);
    for (const std::string* line : {&conclusion.replayError, &conclusion.note,
                                    &conclusion.recordError})
        if (!line->empty()) std::fprintf(stderr, "%s: %s\n", kProgramName, line->c_str());
    busChoice_.reset();
    return conclusion.replayError.empty() ? kExitOk : kExitFailure;
}

void CVumo_DFU_UtilityApp::RunStation() {
    StationWindowOptions options;
    options.applicationName = QString::fromUtf8(kProgramName);
    options.pacing = commandLine_.pacing;
    options.onImagePrepared = [this](const std::string& sha256, std::uint64_t size) {
        busChoice_->NoteImage(sha256, size);
    };
    StationWindow window(*bus_, std::move(options));
    window.show();
    QApplication::exec();
}

bool CVumo_DFU_UtilityApp::InitInstance() {
    DialogOptions options;
    options.applicationName = QString::fromUtf8(kProgramName);
    options.pacing = commandLine_.pacing;
    options.onImagePrepared = [this](const std::string& sha256, std::uint64_t size) {
        busChoice_->NoteImage(sha256, size);
    };
    {
        CVumo_DFU_UtilityDlg dialog(*bus_, std::move(options));
        dialog.exec();  // how it ended does not matter
    }
    return false;
}

}  // namespace vumo::app
