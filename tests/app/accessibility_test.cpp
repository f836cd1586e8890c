// Both windows as assistive technology sees them: every control named and described, and the
// update's progress announced at most every tenth of the way. And the main window's texts:
// every one it shows is either one of its fixed texts or marked for translation, as lupdate
// finds them.

#include "app/application.h"
#include "app/main_dialog.h"
#include "app/progress_announcer.h"
#include "app/station_window.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "sim/sim_test_support.h"
#include "test_support.h"

#include <QAccessible>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace vumo::app {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;

struct Node {
    QString line;  // role, name, description, as a dump shows them
    bool focusable = false;
    bool named = false;
    bool described = false;
    QObject* object = nullptr;
};

// The accessibility tree under `root`, depth first, one line per node.
void Walk(QAccessibleInterface* node, int depth, std::vector<Node>& out) {
    if (node == nullptr || depth > 12) return;
    const QAccessible::State state = node->state();
    Node n;
    n.object = node->object();
    n.focusable = state.focusable && !state.invisible && !state.disabled;
    n.named = !node->text(QAccessible::Name).trimmed().isEmpty();
    n.described = !node->text(QAccessible::Description).trimmed().isEmpty();
    n.line = QString(depth * 2, QLatin1Char(' ')) +
             QStringLiteral("role %1 \"%2\" - %3%4")
                 .arg(static_cast<int>(node->role()))
                 .arg(node->text(QAccessible::Name), node->text(QAccessible::Description),
                      n.focusable ? QStringLiteral(" [focusable]") : QString());
    out.push_back(n);
    for (int i = 0; i < node->childCount(); ++i) Walk(node->child(i), depth + 1, out);
}

std::vector<Node> Dump(QWidget* window) {
    std::vector<Node> nodes;
    Walk(QAccessible::queryAccessibleInterface(window), 0, nodes);
    return nodes;
}

// A focusable control without a name is one a screen-reader user can reach and not tell
// what it is; every control of ours also says what it does.
void ExpectEveryControlNamed(QWidget* window) {
    const std::vector<Node> nodes = Dump(window);
    // Any failure shows the whole tree.
    QString tree;
    for (const Node& n : nodes) tree += n.line + QLatin1Char('\n');
    SCOPED_TRACE(tree.toStdString());
    ASSERT_GT(nodes.size(), 5u);
    std::set<QObject*> seen;
    for (const Node& n : nodes) {
        seen.insert(n.object);
        if (n.focusable) {
            EXPECT_TRUE(n.named) << n.line.toStdString();
        }
    }
    // Every widget of the window, focusable or not, is named and described.
    for (QWidget* widget : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (widget->isWindow()) continue;
        QAccessibleInterface* node = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(node, nullptr);
        if (!seen.count(widget)) continue;  // not part of the tree (a layout's helper)
        EXPECT_FALSE(node->text(QAccessible::Name).trimmed().isEmpty())
            << widget->metaObject()->className() << " " << widget->objectName().toStdString();
        EXPECT_FALSE(node->text(QAccessible::Description).trimmed().isEmpty())
            << widget->metaObject()->className() << " " << widget->objectName().toStdString()
            << " \"" << node->text(QAccessible::Name).toStdString() << "\"";
    }
}

class AccessibilityTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        tool = temp.filePath(QStringLiteral("checksum"));
        ASSERT_TRUE(WriteAcceptingTool(tool));
        firmware = temp.filePath(QStringLiteral("firmware.bin"));
        ASSERT_TRUE(WriteFirmware(firmware, 2900));  // 23 blocks
    }
    void TearDown() override {
        dialog.reset();
        station.reset();
        emulators.clear();
    }

    void AddDevice(sim::Mode mode, std::string serial) {
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(
            port, sim::test::FastConfig(mode, std::move(serial), {})));
    }

    void MakeDialog() {
        DialogOptions options;
        options.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
        options.limits.deviceReturn = 5s;
        options.prepare.toolPath = tool.toStdString();
        options.applicationName = QString::fromUtf8(kProgramName);
        dialog = std::make_unique<CVumo_DFU_UtilityDlg>(bus, std::move(options));
        dialog->messageBoxes().SetAnswerAll(true);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }

    sim::SimHidBus bus;
    platform::DevicePort& port = bus;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    QTemporaryDir temp;
    QString tool, firmware;
    std::unique_ptr<CVumo_DFU_UtilityDlg> dialog;
    std::unique_ptr<StationWindow> station;
};

TEST_F(AccessibilityTest, EveryControlOfTheMainWindowIsNamedAndDescribed) {
    AddDevice(sim::Mode::application, "VUMO-0001");
    MakeDialog();
    ExpectEveryControlNamed(dialog.get());
    // The fields are named for what they hold, not left to their neighbours' captions.
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(dialog->control(kIdPath))->text(QAccessible::Name),
        QStringLiteral("Firmware file"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(dialog->control(kIdDeviceOpen))
                  ->text(QAccessible::Name),
              QStringLiteral("Open Device"));
}

TEST_F(AccessibilityTest, EveryControlOfTheStationWindowIsNamedAndDescribed) {
    StationWindowOptions options;
    options.makePacer = [] { return std::make_unique<update::CountingPacer>(); };
    options.prepare.toolPath = tool.toStdString();
    options.applicationName = QString::fromUtf8(kProgramName);
    options.logPath = temp.filePath(QStringLiteral("flash.jsonl"));
    station = std::make_unique<StationWindow>(bus, std::move(options));
    station->messageBoxes().SetAnswerAll(true);
    station->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(station.get()));
    ExpectEveryControlNamed(station.get());
}

TEST_F(AccessibilityTest, ProgressIsAnnouncedAtMostEveryTenth) {
    AddDevice(sim::Mode::update, "VUMO-0001");
    MakeDialog();
    auto* bar = qobject_cast<QProgressBar*>(dialog->control(kIdProgress));
    QSignalSpy moves(bar, &QProgressBar::valueChanged);
    static_cast<QPushButton*>(dialog->control(kIdDeviceOpen))->click();
    static_cast<QLineEdit*>(dialog->control(kIdPath))->setText(firmware);
    dialog->UpdateControls();
    QSignalSpy finished(dialog.get(), &CVumo_DFU_UtilityDlg::updateFinished);
    static_cast<QPushButton*>(dialog->control(kIdUpdate))->click();
    ASSERT_TRUE(finished.wait(kWaitMs));
    ASSERT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok);

    // The bar moved at every step; assistive technology heard of one move per tenth.
    EXPECT_EQ(bar->value(), 23 + 30);
    EXPECT_GT(moves.count(), 20);
    const std::vector<int>& announced = dialog->progressAnnouncer().announced();
    ASSERT_FALSE(announced.empty());
    EXPECT_LE(announced.size(), 11u);
    std::set<int> tenths;
    for (int value : announced)
        EXPECT_TRUE(tenths.insert(ProgressAnnouncer::TenthOf(value, 0, 53)).second) << value;
    EXPECT_EQ(announced.back(), 53);  // the end is always heard
}

// The source texts of a translation catalogue.
QStringList CatalogueSources(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList sources;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String("source"))
            sources << xml.readElementText(QXmlStreamReader::SkipChildElements);
    }
    return sources;
}

// Whether `shown` is `source` with its %1, %2 ... filled in.
bool Fills(const QString& source, const QString& shown) {
    QStringList pieces;
    for (const QString& piece : source.split(QRegularExpression(QStringLiteral("%\\d"))))
        pieces << QRegularExpression::escape(piece);
    const QString pattern = pieces.join(QStringLiteral(".*"));
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern),
                              QRegularExpression::DotMatchesEverythingOption)
        .match(shown)
        .hasMatch();
}

TEST_F(AccessibilityTest, EveryTextOfOursInTheMainWindowIsMarkedForTranslation) {
#ifndef VUMO_APP_CATALOGUE
    GTEST_SKIP() << "lupdate (Debian: qt6-l10n-tools) is not installed";
#else
    const QStringList catalogue = CatalogueSources(QStringLiteral(VUMO_APP_CATALOGUE));
    ASSERT_GT(catalogue.size(), 10) << VUMO_APP_CATALOGUE;
    // The fixed texts stay as they are, untranslated.
    QStringList fixed{
        QStringLiteral("Vumo_DFU_Utility"), QStringLiteral("Open Device"),
        QStringLiteral("Close Device"), QStringLiteral("Version: 1.0.0.1"),
        QStringLiteral("Warning:\nDo not turn off the power during updating the firmware.")};
    for (const TemplateControl& c : kTemplate102)
        fixed << QString::fromUtf8(c.text.data(), static_cast<qsizetype>(c.text.size()));

    AddDevice(sim::Mode::application, "VUMO-0001");
    bus.setPermissionDenied(emulators.back()->path(), true);
    AddDevice(sim::Mode::application, "VUMO-0002");
    MakeDialog();
    QStringList shown;
    const auto collect = [&] {
        for (QWidget* w : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            shown << w->accessibleName() << w->accessibleDescription();
            for (const QString& line : w->toolTip().split(QLatin1Char('\n'))) shown << line;
            if (auto* label = qobject_cast<QLabel*>(w)) shown << label->text();
            if (auto* button = qobject_cast<QAbstractButton*>(w)) shown << button->text();
            if (auto* list = qobject_cast<QComboBox*>(w)) {
                shown << list->placeholderText();
                // The lines are the devices' own strings.
                for (int i = 0; i < list->count(); ++i) shown.removeAll(list->itemText(i));
            }
        }
    };
    collect();
    static_cast<QPushButton*>(dialog->control(kIdDeviceOpen))->click();
    collect();
    shown.removeAll(QString());
    shown.removeDuplicates();
    ASSERT_GT(shown.size(), 15);
    for (const QString& text : shown) {
        if (fixed.contains(text)) continue;
        const bool marked = std::any_of(catalogue.begin(), catalogue.end(),
                                        [&](const QString& source) { return Fills(source, text); });
        EXPECT_TRUE(marked) << "not marked for translation: \"" << text.toStdString() << "\"";
    }
#endif
}

}  // namespace
}  // namespace vumo::app
