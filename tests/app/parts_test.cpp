// The window's parts that stand on their own: the template's conversion to pixels, the command
// line, the cross-thread calls and the message boxes.

#include "app/application.h"
#include "app/command_line.h"
#include "app/dialog_template.h"
#include "app/message_boxes.h"
#include "app/window_calls.h"
#include "test_support.h"
#include "vumo/build_config.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>
#include <vector>

namespace vumo::app {
namespace {

using namespace testing_support;

TEST(DialogTemplate, ConvertsDialogUnitsAsTheShellFontDoes) {
    // Halves round up: 243 * 1.5 = 364.5, 76 * 1.625 = 123.5.
    EXPECT_EQ(ToPixels(243, 76, 60, 18), (PixelRect{365, 124, 90, 29}));
    EXPECT_EQ(MulDiv(1, 13, 8), 2);   // 1.625
    EXPECT_EQ(MulDiv(3, 6, 4), 5);    // 4.5 rounds up
    EXPECT_EQ(MulDiv(-3, 6, 4), -5);  // away from zero
    EXPECT_EQ(ToPixels(310, 281, 0, 0).x, 465);
}

TEST(DialogTemplate, HoldsFifteenControlsWithTheHiddenGroupOutOfSight) {
    EXPECT_EQ(kTemplate102.size(), 15u);
    std::set<int> ids;
    for (const TemplateControl& c : kTemplate102) {
        if (c.id != kIdNone) {
            EXPECT_TRUE(ids.insert(c.id).second) << c.id;
        }
        const PixelRect r = PixelRectOf(c);
        const bool hidden =
            c.id == kIdRadioDfu || c.id == kIdRadioHid || c.id == kIdChangeMode;
        if (hidden) {
            EXPECT_GE(r.y, kMaximumHeight) << c.id;
        } else {
            // Everything else is inside the smallest window.
            EXPECT_LE(r.x + r.width, kInitialWidth) << c.id;
            EXPECT_LE(r.y + r.height, kInitialHeight) << c.id;
        }
    }
    EXPECT_EQ(ids.size(), 12u);
}

CommandLine Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "vumo-dfu-utility");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), kProgramName);
}

TEST(CommandLineTest, RunsOnTheMachinesDevicesWithoutArguments) {
    const CommandLine c = Parse({});
    EXPECT_EQ(c.action, CommandLine::Action::run);
    EXPECT_FALSE(c.simulate.has_value());
}

TEST(CommandLineTest, TakesSimulateWithAndWithoutOptions) {
    CommandLine c = Parse({"--simulate"});
    ASSERT_EQ(c.action, CommandLine::Action::run) << c.output;
    ASSERT_TRUE(c.simulate.has_value());
    EXPECT_EQ(*c.simulate, sim::SimulateOptions{});

    c = Parse({"--simulate=dfu,devices=2,silent=IMAGE:3"});
    ASSERT_EQ(c.action, CommandLine::Action::run) << c.output;
    ASSERT_TRUE(c.simulate.has_value());
    EXPECT_EQ(c.simulate->startMode, sim::Mode::update);
    EXPECT_EQ(c.simulate->devices, 2);
    EXPECT_EQ(c.simulate->faults.silentBlocks.count(3u), 1u);
}

TEST(CommandLineTest, RefusesAnUnknownSimulateOptionWithStatusTwo) {
    const CommandLine c = Parse({"--simulate=dfu,bogus"});
    EXPECT_EQ(c.action, CommandLine::Action::fail);
    EXPECT_EQ(c.exitCode, kExitUsage);
    EXPECT_NE(c.output.find("bogus"), std::string::npos) << c.output;

    const CommandLine unknown = Parse({"--frobnicate"});
    EXPECT_EQ(unknown.action, CommandLine::Action::fail);
    EXPECT_EQ(unknown.exitCode, kExitUsage);
}

TEST(CommandLineTest, TakesRecordReplayPacingAndStation) {
    CommandLine c = Parse({"--record", "run.jsonl", "--pacing", "fast", "--station"});
    ASSERT_EQ(c.action, CommandLine::Action::run) << c.output;
    EXPECT_EQ(c.bus.record, std::optional<std::string>("run.jsonl"));
    EXPECT_FALSE(c.bus.replay.has_value());
    EXPECT_EQ(c.pacing, update::Pacing::fast);
    EXPECT_TRUE(c.station);
    ASSERT_FALSE(c.bus.argv.empty());
    EXPECT_EQ(c.bus.argv.back(), "--station");

    c = Parse({"--replay", "run.jsonl", "--replay-speed", "0"});
    ASSERT_EQ(c.action, CommandLine::Action::run) << c.output;
    EXPECT_EQ(c.bus.replay, std::optional<std::string>("run.jsonl"));
    EXPECT_EQ(c.bus.replaySpeed, 0.0);
    EXPECT_EQ(c.pacing, update::Pacing::standard);
    EXPECT_FALSE(c.station);

    c = Parse({"--simulate=dfu"});
    EXPECT_EQ(c.bus.simulate, std::optional<std::string>("dfu"));

    // A replay is not a simulation; a speed needs a replay; pacing is one of two.
    for (const std::vector<const char*>& wrong :
         {std::vector<const char*>{"--replay", "x.jsonl", "--simulate"},
          std::vector<const char*>{"--replay-speed", "2"},
          std::vector<const char*>{"--pacing", "slow"}}) {
        const CommandLine bad = Parse(wrong);
        EXPECT_EQ(bad.action, CommandLine::Action::fail) << wrong.front();
        EXPECT_EQ(bad.exitCode, kExitUsage);
    }
}

TEST(CommandLineTest, PrintsHelpAndVersion) {
    const CommandLine help = Parse({"--help"});
    EXPECT_EQ(help.action, CommandLine::Action::print);
    EXPECT_EQ(help.exitCode, kExitOk);
    EXPECT_NE(help.output.find("--simulate"), std::string::npos) << help.output;
    EXPECT_NE(help.output.find("silent=REPLY"), std::string::npos) << help.output;

    const CommandLine version = Parse({"--version"});
    EXPECT_EQ(version.action, CommandLine::Action::print);
    EXPECT_EQ(version.output, std::string("vumo-dfu-utility ") + vumo::kFileVersion + "\n" +
                                  vumo::kLicenceNotice + "\n");
    EXPECT_NE(version.output.find("Licence: MIT"), std::string::npos) << version.output;
}

TEST(WindowCallsTest, RunsTheCallOnTheWindowThreadWhileTheCallerWaits) {
    QObject context;
    WindowCalls calls(context);
    std::atomic<bool> ranOnWindowThread{false};
    std::atomic<bool> callerReturned{false};
    std::thread worker([&] {
        calls.Run([&] { ranOnWindowThread = QThread::currentThread() == context.thread(); });
        callerReturned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return callerReturned.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnWindowThread);
}

TEST(WindowCallsTest, CloseReleasesAWaitingCallerAndDropsItsCall) {
    QObject context;
    WindowCalls calls(context);
    std::atomic<bool> ran{false};
    std::promise<void> entered;
    auto returned = std::async(std::launch::async, [&] {
        entered.set_value();
        calls.Run([&] { ran = true; });
    });
    entered.get_future().wait();
    // The window's thread does not serve the call: only Close can release the caller.
    EXPECT_EQ(returned.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    calls.Close();
    EXPECT_EQ(returned.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    // On the window's own thread a call runs at once, closed or not.
    bool direct = false;
    calls.Run([&] { direct = true; });
    EXPECT_TRUE(direct);
}

// What the real box looked like while it was up.
struct SeenBox {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text, informative;
    QMessageBox::StandardButtons buttons;
    bool modal = false;
    // Each label that shows text, and how it lays its text out: markup is rendered (tags
    // gone, "x" in bold) unless the format is plain text.
    struct Label {
        QString text;
        Qt::TextFormat format;
    };
    std::vector<Label> labels;
};

// Reads the box that comes up next and presses `press` on it.
void ReadNextBox(SeenBox& seen, QMessageBox::StandardButton press) {
    QTimer::singleShot(0, [&seen, press] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) return;
        seen.icon = box->icon();
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.informative = box->informativeText();
        seen.labels.clear();
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) seen.labels.push_back({label->text(), label->textFormat()});
        }
        seen.buttons = box->standardButtons();
        seen.modal = box->isModal();
        box->button(press)->click();
    });
}

TEST(MessageBoxesTest, CaptionedBoxTakesCaptionAndTypeFromTheCaller) {
    MessageBoxes boxes(QStringLiteral("vumo-dfu-utility"));
    SeenBox seen;
    ReadNextBox(seen, QMessageBox::Ok);
    boxes.ShowCaptioned(nullptr, QStringLiteral("Ready Time out"), QStringLiteral("ERROR"), 16);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.title, QStringLiteral("ERROR"));
    EXPECT_EQ(seen.text, QStringLiteral("Ready Time out"));
    EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(seen.modal);

    ReadNextBox(seen, QMessageBox::Ok);
    boxes.ShowCaptioned(nullptr, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."),
                        QStringLiteral("Update Complete "), 0);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.title, QStringLiteral("Update Complete "));
    EXPECT_EQ(seen.text, QStringLiteral("Firmware uploaded.\nNow Rebooting."));

    ASSERT_EQ(boxes.history().size(), 2u);
    EXPECT_EQ(boxes.history()[1].text, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."));
    EXPECT_EQ(boxes.history()[1].answer, QMessageBox::Ok);
}

TEST(MessageBoxesTest, ApplicationBoxIsCaptionedWithTheProgramName) {
    MessageBoxes boxes(QString::fromUtf8(kProgramName));
    SeenBox seen;
    ReadNextBox(seen, QMessageBox::Ok);
    boxes.ShowApplication(nullptr, QStringLiteral("Open Error (code : 17)"),
                          QStringLiteral("why"));
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.title, QStringLiteral("vumo-dfu-utility"));
    EXPECT_EQ(seen.text, QStringLiteral("Open Error (code : 17)"));
    EXPECT_EQ(seen.informative, QStringLiteral("why"));
    EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

TEST(MessageBoxesTest, ShowsDeviceStringsAsPlainTextNeverAsMarkup) {
    MessageBoxes boxes(QString::fromUtf8(kProgramName));
    SeenBox seen;
    // A serial number chosen to look like markup, in the text and in the detail.
    ReadNextBox(seen, QMessageBox::Ok);
    boxes.ShowCaptioned(nullptr, QStringLiteral("Serial <b>x</b>"), QStringLiteral("ERROR"), 16,
                        QStringLiteral("Device <i>y</i> &amp; more"));
    ASSERT_EQ(seen.labels.size(), 2u);
    for (const auto& label : seen.labels)
        EXPECT_EQ(label.format, Qt::PlainText) << label.text.toStdString();
    EXPECT_EQ(seen.text, QStringLiteral("Serial <b>x</b>"));
    EXPECT_EQ(seen.informative, QStringLiteral("Device <i>y</i> &amp; more"));

    ReadNextBox(seen, QMessageBox::Ok);
    boxes.ShowApplication(nullptr, QStringLiteral("<b>x</b>"), QStringLiteral("<b>x</b>"));
    ASSERT_EQ(seen.labels.size(), 2u);
    for (const auto& label : seen.labels) EXPECT_EQ(label.format, Qt::PlainText);
}

TEST(MessageBoxesTest, PresetAnswersGoToTheNextBoxesInOrder) {
    MessageBoxes boxes(QStringLiteral("p"));
    boxes.PresetNextAnswer(QMessageBox::Yes);
    boxes.PresetNextAnswer(QMessageBox::No);
    EXPECT_TRUE(boxes.Ask(nullptr, QStringLiteral("first?")));
    EXPECT_FALSE(boxes.Ask(nullptr, QStringLiteral("second?")));
    EXPECT_EQ(boxes.presetsLeft(), 0);
    // Answered with the default button, which is No for a question.
    boxes.SetAnswerAll(true);
    EXPECT_FALSE(boxes.Ask(nullptr, QStringLiteral("third?")));
    ASSERT_EQ(boxes.history().size(), 3u);
    EXPECT_EQ(boxes.history()[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(boxes.history()[0].icon, QMessageBox::Warning);
}

}  // namespace
}  // namespace vumo::app
