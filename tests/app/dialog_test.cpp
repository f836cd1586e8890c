// The window on the simulated bus: its controls, the device list, the open/close button, the
// enabling rule, device arrival and removal, and whole updates run by the same procedure as
// the command line, with a pacer that skips the fixed pauses.

#include "app/application.h"
#include "app/main_dialog.h"
#include "platform/forwarding_hid_bus.h"
#include "protocol/reports.h"
#include "sim/device_emulator.h"
#include "sim/sim_hid_bus.h"
#include "sim/sim_test_support.h"
#include "test_support.h"
#include "vumo/build_config.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vumo::app {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using sim::Mode;

const QString kOpen = QStringLiteral("Open Device");
const QString kClose = QStringLiteral("Close Device");

// Some other HID device (a mouse, say) that comes and goes.
class OtherHidDevice final : public platform::OutputSink {
public:
    void onOutputReport(std::span<const std::uint8_t>) override {}
};

// The simulated bus with a hook at the start of each walk: a test makes the bus change, or
// another enumeration happen, between two calls of the window.
class HookedBus final : public platform::ForwardingHidBus {
public:
    using ForwardingHidBus::ForwardingHidBus;
    std::function<void()> beforeEnumerate;

    std::vector<platform::HidInterfaceInfo> enumerate() override {
        if (beforeEnumerate) {
            auto hook = std::move(beforeEnumerate);
            beforeEnumerate = nullptr;
            hook();
        }
        return inner().enumerate();
    }
};

// Counts how often a widget was hidden and shown while its window was up.
class VisibilityCounter final : public QObject {
public:
    explicit VisibilityCounter(QWidget* widget) { widget->installEventFilter(this); }
    int hidden = 0;
    int shown = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Hide) ++hidden;
        if (event->type() == QEvent::Show) ++shown;
        return false;
    }
};

class DialogTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp.isValid());
        firmwareTool = WriteTool(QStringLiteral("checksum"),
                                 "echo 'Adding 0x10008000'\necho 'Adding 0x1a020000'\n");
    }

    void TearDown() override {
        dialog.reset();
        emulators.clear();
    }

    sim::DeviceEmulator& AddDevice(Mode mode, std::string serial, sim::Faults faults = {}) {
        emulators.push_back(std::make_unique<sim::DeviceEmulator>(
            port, sim::test::FastConfig(mode, std::move(serial), std::move(faults))));
        return *emulators.back();
    }

    std::string AddOtherDevice() {
        platform::DeviceDescription d;
        d.vendorId = 0x046d;
        d.productId = 0xc077;
        d.product = "Mouse";
        d.lengths = {5, 1};
        return bus.attach(d, std::make_shared<OtherHidDevice>());
    }

    QString WriteTool(const QString& name, const char* body) {
        const QString path = temp.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.write(body);
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    // A binary image of `size` bytes; it may not start with ':' (that would be Intel HEX).
    QString WriteFirmware(std::size_t size) {
        std::mt19937 rng(static_cast<unsigned>(size));
        firmware.resize(size);
        for (auto& b : firmware) b = static_cast<std::uint8_t>(rng());
        if (!firmware.empty()) firmware[0] = 0;
        const QString path = temp.filePath(QStringLiteral("firmware.bin"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char*>(firmware.data()),
                   static_cast<qint64>(firmware.size()));
        return path;
    }

    void MakeDialog(std::chrono::milliseconds replyLimit = 3s, QString tool = {}) {
        DialogOptions options;
        options.makePacer = [this] { return std::make_unique<update::CountingPacer>(pacing); };
        options.pacing = pacing;
        options.limits.reply = replyLimit;
        options.limits.deviceReturn = deviceReturn;
        options.limits.reopen = 3s;
        options.prepare.toolPath = (tool.isEmpty() ? firmwareTool : tool).toStdString();
        options.applicationName = QString::fromUtf8(kProgramName);
        dialog = std::make_unique<CVumo_DFU_UtilityDlg>(hookedBus, std::move(options));
        // A box nobody expected must not hang the run; each test checks which boxes came.
        dialog->messageBoxes().SetAnswerAll(true);
        dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    }

    template <class T>
    T* Get(int id) {
        auto* widget = qobject_cast<T*>(dialog->control(id));
        EXPECT_NE(widget, nullptr) << id;
        return widget;
    }
    QPushButton* Button(int id) { return Get<QPushButton>(id); }
    QComboBox* List() { return Get<QComboBox>(kIdDeviceList); }
    QLineEdit* Path() { return Get<QLineEdit>(kIdPath); }
    QProgressBar* Progress() { return Get<QProgressBar>(kIdProgress); }
    QLabel* Warning() { return Get<QLabel>(kIdWarning); }

    QStringList Lines() {
        QStringList lines;
        for (int i = 0; i < List()->count(); ++i) lines << List()->itemText(i);
        return lines;
    }
    const std::vector<BoxRecord>& Boxes() { return dialog->messageBoxes().history(); }

    // The state of the five controls that UpdateControls sets.
    struct Controls {
        bool list, open, update, browse, close;
        QString caption;
        bool operator==(const Controls&) const = default;
        friend void PrintTo(const Controls& c, std::ostream* os) {
            *os << "list " << c.list << " open " << c.open << " update " << c.update << " browse "
                << c.browse << " close " << c.close << " caption " << c.caption.toStdString();
        }
    };
    Controls State() {
        return {List()->isEnabled(),
                Button(kIdDeviceOpen)->isEnabled(),
                Button(kIdUpdate)->isEnabled(),
                Button(kIdBrowse)->isEnabled(),
                Button(kIdClose)->isEnabled(),
                Button(kIdDeviceOpen)->text()};
    }

    // Waits for the window to have handled the device changes that are on their way.
    bool WaitForDeviceChanges(int count) {
        QSignalSpy spy(dialog.get(), &CVumo_DFU_UtilityDlg::deviceChangeHandled);
        return WaitUntil([&] { return spy.count() >= count; });
    }

    void OpenLine(int line) {
        List()->setCurrentIndex(line);
        Button(kIdDeviceOpen)->click();
    }

    // Line 0 open and a firmware file of `size` bytes in the path field, as a user leaves them
    // before pressing Update.
    void ReadyToUpdate(std::size_t size) {
        OpenLine(0);
        Path()->setText(WriteFirmware(size));
        dialog->UpdateControls();
    }

    // Presses Update and waits until the update has ended.
    bool PressUpdateAndWait() {
        QSignalSpy finished(dialog.get(), &CVumo_DFU_UtilityDlg::updateFinished);
        Button(kIdUpdate)->click();
        return finished.wait(kWaitMs);
    }

    std::vector<std::uint8_t> PaddedFirmware() const {
        auto padded = firmware;
        padded.resize((firmware.size() / protocol::kBlockSize + 1) * protocol::kBlockSize, 0);
        return padded;
    }

    // Declared in the order they must be built; the window goes first, the bus last.
    sim::SimHidBus bus;
    HookedBus hookedBus{bus};  // what the window is built on
    platform::DevicePort& port = bus;
    std::vector<std::unique_ptr<sim::DeviceEmulator>> emulators;
    QTemporaryDir temp;
    QString firmwareTool;
    std::vector<std::uint8_t> firmware;
    update::Pacing pacing = update::Pacing::standard;
    // How long the device may take to come back, after the mode switch and after the restart.
    std::chrono::milliseconds deviceReturn = 5s;
    std::unique_ptr<CVumo_DFU_UtilityDlg> dialog;
};

TEST_F(DialogTest, StartsWithNoDevice) {
    MakeDialog();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Vumo_DFU_Utility"));
    EXPECT_EQ(dialog->size(), QSize(475, 200));

    // Every template control is there, where the template puts it.
    for (const TemplateControl& c : kTemplate102) {
        if (c.id == kIdNone) continue;
        QWidget* widget = dialog->control(c.id);
        ASSERT_NE(widget, nullptr) << c.id;
        const PixelRect r = PixelRectOf(c);
        EXPECT_EQ(widget->geometry(), QRect(r.x, r.y, r.width, r.height)) << c.id;
    }
    EXPECT_EQ(Button(kIdClose)->geometry(), QRect(365, 124, 90, 29));
    const auto labels = dialog->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    const auto buttons = dialog->findChildren<QAbstractButton*>(Qt::FindDirectChildrenOnly);
    QStringList captions;
    for (const QLabel* label : labels) captions << label->text();
    for (const char* caption : {"Path", "Progress", "Device"})
        EXPECT_TRUE(captions.contains(QString::fromLatin1(caption))) << caption;
    // And the bar, the edit, the list, and our status line.
    EXPECT_EQ(labels.size() + buttons.size() + 3, 16);
    // The status line sits in free space, in view at the smallest size, and touches nothing.
    const QRect status = dialog->statusLine()->geometry();
    EXPECT_TRUE(QRect(0, 0, 475, 200).contains(status)) << status.y() << " " << status.bottom();
    for (const TemplateControl& c : kTemplate102) {
        const PixelRect r = PixelRectOf(c);
        EXPECT_FALSE(status.intersects(QRect(r.x, r.y, r.width, r.height)) && r.y < 300) << c.id;
    }
    EXPECT_TRUE(dialog->statusLine()->text().isEmpty());
    EXPECT_EQ(dialog->statusLine()->accessibleName(), QStringLiteral("Update status"));
    EXPECT_EQ(dialog->statusLine()->focusPolicy(), Qt::NoFocus);

    EXPECT_EQ(State(), (Controls{true, false, false, true, true, kOpen}));
    EXPECT_EQ(List()->count(), 0);
    EXPECT_EQ(List()->currentIndex(), -1);
    EXPECT_TRUE(Path()->isEnabled());
    EXPECT_TRUE(Path()->text().isEmpty());
    EXPECT_EQ(Progress()->value(), 0);
    EXPECT_TRUE(Get<QRadioButton>(kIdRadioDfu)->isChecked());
    EXPECT_FALSE(Get<QRadioButton>(kIdRadioHid)->isChecked());
    EXPECT_EQ(dialog->modeRadio(), 0);
    EXPECT_EQ(dialog->openMode(), 0);
    EXPECT_EQ(Button(kIdChangeMode)->text(), QStringLiteral("Change Mode"));
    // Enter in the path must not press a button behind the user's back.
    for (const QPushButton* button : dialog->findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->autoDefault()) << button->text().toStdString();
        EXPECT_FALSE(button->isDefault()) << button->text().toStdString();
    }
    EXPECT_TRUE(Path()->hasFocus());

    EXPECT_EQ(Get<QLabel>(kIdVersion)->text(), QStringLiteral("Version: 1.0.0.1"));
    EXPECT_EQ(dialog->versionText(), QStringLiteral("Version: ") + QString::fromUtf8(kFileVersion));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(DialogTest, DrawsTheWarningInRedOnTwoLinesInLiberationSans) {
    MakeDialog();
    QLabel* warning = Warning();
    EXPECT_EQ(
        dialog->warningText(),
        QStringLiteral("Warning:\r\nDo not turn off the power during updating the firmware."));
    EXPECT_EQ(warning->text(),
              QStringLiteral("Warning:\nDo not turn off the power during updating the firmware."));
    // Qt falls back to another family without a word: check the one really used.
    EXPECT_EQ(QFontInfo(warning->font()).family(), QStringLiteral("Liberation Sans"));
    EXPECT_EQ(QFontInfo(Button(kIdUpdate)->font()).family(), QStringLiteral("Liberation Sans"));
    EXPECT_EQ(QFontInfo(warning->font()).pixelSize(), 11);

    // Both lines fit the label as laid out, without wrapping into a third.
    const QFontMetrics metrics(warning->font());
    const QRect needed = metrics.boundingRect(QRect(0, 0, warning->width(), 1000),
                                              Qt::AlignLeft | Qt::TextWordWrap, warning->text());
    EXPECT_LE(needed.height(), warning->height());
    EXPECT_LT(needed.height(), 3 * metrics.lineSpacing());
    EXPECT_LE(metrics.horizontalAdvance(
                  QStringLiteral("Do not turn off the power during updating the firmware.")),
              warning->width());

    // Red pixels in the upper and in the lower line.
    const QImage image = warning->grab().toImage();
    int redTop = 0, redBottom = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 80 && c.blue() < 80)
                ++(y < metrics.lineSpacing() ? redTop : redBottom);
        }
    EXPECT_GT(redTop, 10);
    EXPECT_GT(redBottom, 50);
    // The other labels keep the ordinary colour.
    EXPECT_NE(Get<QLabel>(kIdVersion)->palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

TEST_F(DialogTest, KeepsItsSizeLimitsAndItsControlsInPlace) {
    MakeDialog();
    std::vector<QRect> before;
    for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        before.push_back(child->geometry());
    dialog->resize(300, 100);
    EXPECT_EQ(dialog->size(), QSize(475, 200));
    dialog->resize(1000, 1000);
    EXPECT_EQ(dialog->size(), QSize(600, 300));
    dialog->resize(520, 250);
    EXPECT_EQ(dialog->size(), QSize(520, 250));
    std::vector<QRect> after;
    for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        after.push_back(child->geometry());
    EXPECT_EQ(before, after);
    // "DFU", "HID" and "Change Mode" never come into view.
    for (int id : {kIdRadioDfu, kIdRadioHid, kIdChangeMode})
        EXPECT_GE(dialog->control(id)->y(), 300) << id;
}

// Tab goes round the controls the user can see and use, never to one out of view.
TEST_F(DialogTest, TabStopsOnlyWhereTheUserCanSee) {
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    QStringList visited;
    for (int i = 0; i < 12; ++i) {
        QWidget* focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        EXPECT_TRUE(dialog->rect().contains(focus->geometry()))
            << focus->objectName().toStdString();
        if (!visited.contains(focus->objectName())) visited << focus->objectName();
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    // Every enabled control in view, and nothing else.
    EXPECT_EQ(visited.size(), 5) << visited.join(QStringLiteral(" ")).toStdString();
    for (int id : {kIdRadioDfu, kIdRadioHid, kIdChangeMode})
        EXPECT_EQ(dialog->control(id)->focusPolicy(), Qt::NoFocus) << id;
}

// The closed list keeps the template's width; dropped down, every line shows whole, and the
// tooltip gives the current one whole.
TEST_F(DialogTest, TheDroppedDownListShowsEveryLineWhole) {
    AddDevice(Mode::update, "VUMO-0001");
    AddDevice(Mode::application, "VUMO-0002-WITH-A-SERIAL-NUMBER-FAR-LONGER-THAN-THE-LIST");
    MakeDialog();
    const QString loader = QStringLiteral("Vumo Update Loader: VUMO-0001");
    ASSERT_EQ(Lines().back(), loader);
    for (const TemplateControl& c : kTemplate102) {
        if (c.id == kIdDeviceList) {
            EXPECT_EQ(List()->width(), PixelRectOf(c).width);
        }
    }
    EXPECT_EQ(List()->toolTip(), Lines().front());
    List()->setCurrentIndex(1);
    EXPECT_EQ(List()->toolTip(), loader);

    List()->showPopup();
    QAbstractItemView* view = List()->view();
    ASSERT_TRUE(WaitUntil([&] { return view->isVisible(); }));
    for (int line = 0; line < List()->count(); ++line) {
        const QModelIndex index = List()->model()->index(line, 0);
        EXPECT_LE(view->visualRect(index).width(), view->viewport()->width()) << line;
        EXPECT_LE(view->sizeHintForIndex(index).width(), view->viewport()->width()) << line;
    }
    List()->hidePopup();
}

TEST_F(DialogTest, ListsApplicationModeDevicesFirstAndSelectsLineZero) {
    AddDevice(Mode::update, "VUMO-0002");
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("Vumo Device: VUMO-0001"),
                                    QStringLiteral("Vumo Update Loader: VUMO-0002")}));
    EXPECT_EQ(List()->currentIndex(), 0);
    EXPECT_EQ(dialog->deviceEntryCount(), 2);
    EXPECT_EQ(dialog->deviceEntry(0).mode, protocol::kModeApplication);
    EXPECT_EQ(dialog->deviceEntry(1).mode, protocol::kModeUpdate);
    EXPECT_EQ(dialog->deviceEntry(1).index, 0);
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));

    // Any HID arrival refreshes the list and selects line 0 again.
    List()->setCurrentIndex(1);
    AddOtherDevice();
    ASSERT_TRUE(WaitForDeviceChanges(1));
    EXPECT_EQ(Lines().size(), 2);
    EXPECT_EQ(List()->currentIndex(), 0);
}

TEST_F(DialogTest, ListLinesShowDeviceStringsAsTheyAreNeverAsMarkupOrControls) {
    AddDevice(Mode::application, "<b>x</b>");
    AddDevice(Mode::application, "A\x1b[2J\rB");
    MakeDialog();
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("Vumo Device: <b>x</b>"),
                                    QStringLiteral("Vumo Device: A\\x1b[2J\\rB")}));
}

TEST_F(DialogTest, TheListComesFromOneEnumerationPerObject) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    ASSERT_EQ(Lines(), QStringList{QStringLiteral("Vumo Device: VUMO-0001")});
    // Between the two enumerations of a refresh the device leaves and another thread (the
    // update worker, say) enumerates the application-mode object again.
    hookedBus.beforeEnumerate = [&] {
        hookedBus.beforeEnumerate = [&] {
            device.unplug();
            dialog->appDevice()->EnumerateDevices();
        };
    };
    dialog->RefreshDeviceList();
    // Every line is a device of one enumeration: the one seen, not an empty ": " line.
    EXPECT_EQ(Lines(), QStringList{QStringLiteral("Vumo Device: VUMO-0001")});
    EXPECT_EQ(dialog->deviceEntryCount(), 1);
    // Opening it now tells why it failed instead of opening something else.
    Button(kIdDeviceOpen)->click();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Open Error (code : 17)"));
    EXPECT_TRUE(Boxes()[0].detail.contains(QStringLiteral("no longer present")))
        << Boxes()[0].detail.toStdString();
    // The removal, once handled, empties the list.
    ASSERT_TRUE(WaitUntil([&] { return List()->count() == 0; }));
}

TEST_F(DialogTest, OpenTakesTheDeviceOfTheChosenLineAfterTheListMoved) {
    auto& first = AddDevice(Mode::application, "VUMO-A");
    AddDevice(Mode::application, "VUMO-B");
    MakeDialog();
    ASSERT_EQ(Lines(), (QStringList{QStringLiteral("Vumo Device: VUMO-A"),
                                    QStringLiteral("Vumo Device: VUMO-B")}));
    List()->setCurrentIndex(1);
    // Before the click, the bus changes and another enumeration puts a third device where B
    // was: B is now at place 0, C at place 1.
    first.unplug();
    AddDevice(Mode::application, "VUMO-C");
    ASSERT_EQ(dialog->appDevice()->EnumerateDevices(), 2);
    ASSERT_EQ(dialog->appDevice()->entry(1).serial, "VUMO-C");

    Button(kIdDeviceOpen)->click();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(dialog->openMode(), protocol::kModeApplication);
    EXPECT_EQ(dialog->appDevice()->openSerial(), "VUMO-B");
}

TEST_F(DialogTest, OpenAndCloseFollowTheEnablingRule) {
    AddDevice(Mode::update, "VUMO-0002");
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();

    OpenLine(0);
    EXPECT_EQ(dialog->openMode(), protocol::kModeApplication);
    EXPECT_TRUE(dialog->appDevice()->isOpen());
    EXPECT_FALSE(dialog->dfuDevice()->isOpen());  // only the object the line names
    EXPECT_EQ(State(), (Controls{false, true, false, true, true, kClose}));

    Button(kIdDeviceOpen)->click();
    EXPECT_EQ(dialog->openMode(), 0);
    EXPECT_FALSE(dialog->appDevice()->isOpen());
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));

    OpenLine(1);
    EXPECT_EQ(dialog->openMode(), protocol::kModeUpdate);
    EXPECT_TRUE(dialog->dfuDevice()->isOpen());
    EXPECT_EQ(State(), (Controls{false, true, false, true, true, kClose}));

    // A path counts once UpdateControls has read it.
    Path()->setText(QStringLiteral("/some/file.bin"));
    dialog->UpdateControls();
    EXPECT_EQ(State(), (Controls{false, true, true, true, true, kClose}));
    Button(kIdDeviceOpen)->click();
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(DialogTest, TypedPathEnablesUpdateOnlyAtTheNextUpdateControls) {
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    OpenLine(0);
    QTest::keyClicks(Path(), QStringLiteral("/tmp/typed.bin"));
    EXPECT_EQ(Path()->text(), QStringLiteral("/tmp/typed.bin"));
    EXPECT_FALSE(Button(kIdUpdate)->isEnabled());
    EXPECT_TRUE(dialog->filePath().isEmpty());

    // A device notification runs UpdateControls.
    AddOtherDevice();
    ASSERT_TRUE(WaitForDeviceChanges(1));
    EXPECT_TRUE(Button(kIdUpdate)->isEnabled());
    EXPECT_EQ(dialog->filePath(), QStringLiteral("/tmp/typed.bin"));
}

TEST_F(DialogTest, AnOpenDeviceStaysClosableWhenTheListEmpties) {
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    OpenLine(0);
    // A refresh leaves the open device out of the list.
    AddOtherDevice();
    ASSERT_TRUE(WaitForDeviceChanges(1));
    EXPECT_EQ(List()->count(), 0);
    EXPECT_EQ(State(), (Controls{false, true, false, true, true, kClose}));

    Button(kIdDeviceOpen)->click();
    EXPECT_EQ(dialog->openMode(), 0);
    EXPECT_FALSE(dialog->appDevice()->isOpen());
    EXPECT_EQ(State(), (Controls{true, false, false, true, true, kOpen}));
}

TEST_F(DialogTest, OpeningADeviceUnpluggedSinceTheRefreshShowsCode17) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    ASSERT_EQ(List()->count(), 1);
    device.unplug();  // the removal waits in the queue while the button is pressed
    Button(kIdDeviceOpen)->click();

    ASSERT_FALSE(Boxes().empty());
    const BoxRecord& box = Boxes().front();
    EXPECT_EQ(box.text, QStringLiteral("Open Error (code : 17)"));
    EXPECT_EQ(box.kind, BoxKind::application);
    EXPECT_EQ(box.caption, QStringLiteral("vumo-dfu-utility"));
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(dialog->openMode(), 0);
    EXPECT_EQ(Button(kIdDeviceOpen)->text(), kOpen);

    ASSERT_TRUE(WaitUntil([&] { return List()->count() == 0; }));
    EXPECT_FALSE(Button(kIdDeviceOpen)->isEnabled());
}

TEST_F(DialogTest, PermissionDeniedNamesTheFix) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    bus.setPermissionDenied(device.path(), true);
    Button(kIdDeviceOpen)->click();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Open Error (code : 17)"));
    // The cause names the device's node; the fixed text stays as it is.
    EXPECT_TRUE(Boxes()[0].detail.startsWith(QStringLiteral("Permission denied on ") +
                                             QString::fromStdString(device.path())))
        << Boxes()[0].detail.toStdString();
    EXPECT_TRUE(Boxes()[0].detail.contains(QStringLiteral("udev rule")))
        << Boxes()[0].detail.toStdString();
    EXPECT_TRUE(Boxes()[0].detail.contains(QStringLiteral("udevadm control --reload")));

    // At the next refresh the device is left out, and the list says why it is empty.
    AddOtherDevice();
    ASSERT_TRUE(WaitForDeviceChanges(1));
    EXPECT_EQ(List()->count(), 0);
    EXPECT_TRUE(List()->placeholderText().contains(QStringLiteral("access is denied")));
    EXPECT_TRUE(List()->toolTip().contains(QStringLiteral("udevadm control --reload")));
}

TEST_F(DialogTest, BrowseOffersFirmwareFilesFirst) {
    const auto browse = CVumo_DFU_UtilityDlg::MakeBrowseDialog(nullptr);
    EXPECT_EQ(browse->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(browse->nameFilters(),
              (QStringList{QStringLiteral("DFU file(*.HEX, *.BIN) (*.HEX *.BIN *.hex *.bin)"),
                           QStringLiteral("All File(s)(*.*)(*)")}));
    EXPECT_TRUE(browse->testOption(QFileDialog::HideNameFilterDetails));
    // The list shows the two descriptions (the dialog drops the blank before the patterns),
    // the first one chosen.
    const auto* types = browse->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(types, nullptr);
    ASSERT_EQ(types->count(), 2);
    EXPECT_EQ(types->currentIndex(), 0);
    EXPECT_EQ(types->itemText(0), QStringLiteral("DFU file(*.HEX, *.BIN)"));
    EXPECT_EQ(types->itemText(1), QStringLiteral("All File(s)(*.*)"));
    const auto* name = browse->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), QStringLiteral("DFU"));
}

TEST_F(DialogTest, BrowseFillsThePathAndCancelKeepsIt) {
    AddDevice(Mode::application, "VUMO-0001");
    const QString chosen = WriteFirmware(300);
    MakeDialog();
    OpenLine(0);

    // Answer the file dialog from inside its modal run.
    const auto answer = [](const QString& file) {
        QTimer::singleShot(0, [file] {
            auto* browse = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (browse == nullptr) return;
            if (file.isEmpty()) {
                browse->reject();
            } else {
                browse->selectFile(file);
                static_cast<QDialog*>(browse)->accept();
            }
        });
    };
    answer(chosen);
    Button(kIdBrowse)->click();
    EXPECT_EQ(dialog->filePath(), chosen);
    EXPECT_EQ(Path()->text(), chosen);
    EXPECT_TRUE(Button(kIdUpdate)->isEnabled());

    answer({});
    Button(kIdBrowse)->click();
    EXPECT_EQ(dialog->filePath(), chosen);
    EXPECT_TRUE(Button(kIdUpdate)->isEnabled());
}

TEST_F(DialogTest, RefusedFileShowsTheCheckSumBoxAndLeavesUpdateOff) {
    AddDevice(Mode::update, "VUMO-0001");
    const QString notFirmware = WriteTool(QStringLiteral("quiet"), "echo 'Adding 0x1a040000'\n");
    MakeDialog(3s, notFirmware);
    ReadyToUpdate(300);
    Button(kIdUpdate)->click();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("This is not Vumo firmware file"));
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("ERROR-CheckSum"));
    EXPECT_EQ(Boxes()[0].type, 16);
    EXPECT_EQ(Boxes()[0].icon, QMessageBox::Critical);
    // Beside the tool's own line, what to do about it.
    const QStringList lines = Boxes()[0].detail.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << Boxes()[0].detail.toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("The checksum tool did not mark")));
    EXPECT_EQ(lines[1], QStringLiteral("Choose the firmware file made for this device."));
    EXPECT_FALSE(Button(kIdUpdate)->isEnabled());
    EXPECT_FALSE(dialog->UpdateRunning());
    EXPECT_EQ(emulators[0]->status().repliesSent, (std::array<std::uint32_t, 6>{}));
}

TEST_F(DialogTest, ATooLargeFileIsExplainedInPlainWords) {
    AddDevice(Mode::update, "VUMO-0001");
    MakeDialog();
    ReadyToUpdate(131072);  // 1024 blocks of 128 bytes, exactly
    Button(kIdUpdate)->click();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("ERROR-File"));
    EXPECT_TRUE(Boxes()[0].text.contains(QStringLiteral("at most 131,071 bytes")));
    // Why a file that fills the blocks is still too long, and what to do.
    EXPECT_TRUE(Boxes()[0].detail.contains(QStringLiteral("would need a 1025th block")))
        << Boxes()[0].detail.toStdString();
    EXPECT_TRUE(Boxes()[0].detail.contains(
        QStringLiteral("Choose the firmware file made for this device")));
    EXPECT_EQ(emulators[0]->status().repliesSent, (std::array<std::uint32_t, 6>{}));
}

TEST_F(DialogTest, UpdatesFromApplicationModeInTheWindow) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    const QString path = WriteFirmware(2900);  // 22 full blocks and a short one
    const int blocks = 23;
    MakeDialog();
    OpenLine(0);
    Path()->setText(path);
    dialog->UpdateControls();
    ASSERT_TRUE(Button(kIdUpdate)->isEnabled());

    QSignalSpy progress(Progress(), &QProgressBar::valueChanged);
    VisibilityCounter warning(Warning());
    QSignalSpy finished(dialog.get(), &CVumo_DFU_UtilityDlg::updateFinished);
    // What the window looked like while the completion box was up.
    std::uint32_t restartsAtBox = 99;
    Controls atBox{};
    std::uint8_t openModeAtBox = 0;
    QObject::connect(&dialog->messageBoxes(), &MessageBoxes::boxShown, dialog.get(),
                     [&](const BoxRecord&) {
                         restartsAtBox = device.restarts();
                         atBox = State();
                         openModeAtBox = dialog->openMode();
                     });

    Button(kIdUpdate)->click();
    EXPECT_TRUE(dialog->UpdateRunning());
    EXPECT_EQ(State(), (Controls{false, false, false, false, false, kClose}));
    EXPECT_EQ(Progress()->maximum(), blocks + 30);
    ASSERT_TRUE(finished.wait(kWaitMs));

    ASSERT_TRUE(dialog->lastUpdateResult().has_value());
    EXPECT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok)
        << dialog->lastUpdateResult()->message;
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."));
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("Update Complete "));
    EXPECT_EQ(Boxes()[0].type, 0);
    EXPECT_EQ(Boxes()[0].icon, QMessageBox::NoIcon);
    // The restart follows the box, not the other way round. Meanwhile the window knew that the
    // procedure had the update-mode device open, and nothing could cut the update short.
    EXPECT_EQ(restartsAtBox, 0u);
    EXPECT_EQ(openModeAtBox, protocol::kModeUpdate);
    EXPECT_EQ(atBox, (Controls{false, false, false, false, false, kClose}));

    // Fixed steps 0 to 29 (0 is where the bar already was), then one position per block.
    std::vector<int> positions;
    for (const auto& args : progress) positions.push_back(args.at(0).toInt());
    std::vector<int> expected;
    for (int p = 1; p <= 29; ++p) expected.push_back(p);
    for (int p = 31; p <= blocks + 30; ++p) expected.push_back(p);
    EXPECT_EQ(positions, expected);
    EXPECT_EQ(Progress()->value(), blocks + 30);
    // Blocks 5-9 and 15-19 hide the warning; it is back at the end.
    EXPECT_EQ(warning.hidden, 2);
    EXPECT_TRUE(Warning()->isVisible());

    EXPECT_EQ(device.firmware(), PaddedFirmware());
    EXPECT_EQ(device.locationCode(), std::optional<std::uint8_t>(1));
    ASSERT_TRUE(device.waitForMode(Mode::application, std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(device.restarts(), 1u);

    // The restarted device is listed again and nothing is left open.
    ASSERT_TRUE(WaitUntil([&] {
        return Lines() == QStringList{QStringLiteral("Vumo Device: VUMO-0001")} &&
               dialog->openMode() == 0;
    })) << Lines().join(QStringLiteral(", ")).toStdString();
    EXPECT_FALSE(dialog->dfuDevice()->isOpen());
    EXPECT_FALSE(dialog->UpdateRunning());
    EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(DialogTest, TheStatusLineSaysWhatTheUpdateIsDoing) {
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    ReadyToUpdate(2900);  // 23 blocks
    QSignalSpy shown(dialog.get(), &CVumo_DFU_UtilityDlg::statusShown);
    // What the status line said while each box was up.
    QStringList atBoxes;
    QObject::connect(&dialog->messageBoxes(), &MessageBoxes::boxShown, dialog.get(),
                     [&](const BoxRecord&) { atBoxes << dialog->statusLine()->text(); });
    ASSERT_TRUE(PressUpdateAndWait());
    ASSERT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok);

    QStringList said;
    for (const auto& args : shown) said << args.at(0).toString();
    QStringList expected{QStringLiteral("switching to the update loader")};
    // The settling countdown: twenty passes of half a second.
    for (int s = 10; s >= 1; --s)
        expected << QStringLiteral("waiting for the device (%1 s)").arg(s);
    expected << QStringLiteral("preparing the upload");
    for (int b = 1; b <= 23; ++b) expected << QStringLiteral("uploading block %1 of 23").arg(b);
    expected << QStringLiteral("finishing the upload") << QStringLiteral("restarting the device")
             << QStringLiteral("waiting for the device to start its new firmware");
    ASSERT_EQ(said.size(), expected.size() + 1) << said.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(said.mid(0, expected.size()), expected);
    const QString done = QStringLiteral("done: VUMO-0001 is running the new firmware (%1 s)")
                             .arg(qRound(dialog->lastUpdateResult()->seconds));
    EXPECT_EQ(said.back(), done);
    EXPECT_EQ(dialog->statusLine()->text(), done);
    // The completion box came while the upload was finishing, before the restart.
    EXPECT_EQ(atBoxes, QStringList{QStringLiteral("finishing the upload")});
}

TEST_F(DialogTest, TheStatusLineSaysWhatTheSharedWordsSay) {
    // Another window on the same events words its status with frontend::StatusText: the two
    // must not drift apart.
    using frontend::StatusKind;
    const auto status = [](StatusKind kind, update::Step step = update::Step::none) {
        frontend::UpdateStatus s;
        s.kind = kind;
        s.block = 212;
        s.blocks = 1024;
        s.secondsLeft = 7;
        s.serial = "VUMO-0001";
        s.seconds = 31;
        s.step = step;
        s.message = "DFU upload time out : 211";
        return s;
    };
    std::vector<frontend::UpdateStatus> all;
    for (int k = 0; k <= static_cast<int>(StatusKind::interrupted); ++k)
        all.push_back(status(static_cast<StatusKind>(k)));
    for (int step = 0; step <= static_cast<int>(update::Step::done); ++step)
        all.push_back(status(StatusKind::failed, static_cast<update::Step>(step)));
    for (const auto& s : all) {
        EXPECT_EQ(CVumo_DFU_UtilityDlg::StatusLineText(s).toStdString(), frontend::StatusText(s))
            << static_cast<int>(s.kind) << " " << static_cast<int>(s.step);
    }
    EXPECT_EQ(frontend::StatusText(status(StatusKind::uploading)), "uploading block 212 of 1024");
}

TEST_F(DialogTest, ADeviceThatDoesNotStartItsNewFirmwareGetsASecondBox) {
    sim::Faults faults;
    faults.noBoot = true;
    AddDevice(Mode::application, "VUMO-0001", faults);
    deviceReturn = 3s;  // long enough to see the watch under load, short for the test
    MakeDialog();
    ReadyToUpdate(300);
    QSignalSpy finished(dialog.get(), &CVumo_DFU_UtilityDlg::updateFinished);
    Button(kIdUpdate)->click();

    // The device is back, in its loader; the window still watches. It is as usable as after
    // any update: Browse and Close work, closing would ask nothing, the loader can be opened
    // (or stays open, when its node never lost it). Only Update waits for the watch to end.
    ASSERT_TRUE(WaitUntil([&] {
        return dialog->WatchingForBoot() &&
               (dialog->openMode() != 0 ||
                Lines() == QStringList{QStringLiteral("Vumo Update Loader: VUMO-0001")});
    })) << Lines().join(QStringLiteral(", ")).toStdString();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."));
    EXPECT_FALSE(dialog->UpdateRunning());
    EXPECT_EQ(dialog->statusLine()->text(),
              QStringLiteral("waiting for the device to start its new firmware"));
    if (dialog->openMode() == 0) {
        EXPECT_EQ(State(), (Controls{true, true, false, true, true, kOpen}));
        OpenLine(0);
    }
    EXPECT_EQ(State(), (Controls{false, true, false, true, true, kClose}));

    ASSERT_TRUE(finished.wait(kWaitMs));
    EXPECT_FALSE(dialog->WatchingForBoot());
    ASSERT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Boxes()[1].text,
              QStringLiteral("The device did not come back in application mode after the "
                             "update: it may not have started the new firmware."));
    EXPECT_EQ(Boxes()[1].caption, QStringLiteral("ERROR"));
    EXPECT_TRUE(Boxes()[1].detail.contains(QStringLiteral("run the update again")))
        << Boxes()[1].detail.toStdString();
    EXPECT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::failed);
    EXPECT_EQ(dialog->lastUpdateResult()->step, update::Step::restart);
    EXPECT_EQ(dialog->statusLine()->text(),
              QStringLiteral("failed: VUMO-0001 did not start its new firmware"));
    // The watch is over: an open loader can be flashed again.
    const bool open = dialog->openMode() != 0;
    EXPECT_EQ(State(), (Controls{!open, true, open, true, true, open ? kClose : kOpen}));
}

TEST_F(DialogTest, ClosingWhileWatchingForTheRestartedDeviceAsksNothing) {
    sim::Faults faults;
    faults.noBoot = true;
    AddDevice(Mode::update, "VUMO-0001", faults);
    deviceReturn = 60s;  // far longer than the test
    MakeDialog();
    ReadyToUpdate(300);
    Button(kIdUpdate)->click();
    ASSERT_TRUE(WaitUntil([&] { return dialog->WatchingForBoot(); }));
    ASSERT_EQ(Boxes().size(), 1u);  // the completion box

    // The image is written: closing ends the watch and asks nothing.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->procedure(), nullptr);
    EXPECT_EQ(Boxes().size(), 1u);
}

TEST_F(DialogTest, MissingReadyReplyShowsOneTimeOutBox) {
    sim::Faults faults;
    faults.silent.insert(sim::Reply::ready);
    AddDevice(Mode::update, "VUMO-0001", faults);
    MakeDialog(300ms);
    ReadyToUpdate(300);
    // While the update runs the path can't be changed, by typing or by a drop.
    const QString path = Path()->text();
    bool readOnlyWhileRunning = false;
    QObject::connect(&dialog->messageBoxes(), &MessageBoxes::boxShown, dialog.get(),
                     [&](const BoxRecord&) {
                         readOnlyWhileRunning = Path()->isReadOnly();
                         QTest::keyClicks(Path(), QStringLiteral("x"));
                     });
    ASSERT_TRUE(PressUpdateAndWait());
    EXPECT_TRUE(readOnlyWhileRunning);
    EXPECT_EQ(Path()->text(), path);
    EXPECT_FALSE(Path()->isReadOnly());

    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Ready Time out"));
    EXPECT_EQ(Boxes()[0].caption, QStringLiteral("ERROR"));
    EXPECT_EQ(Boxes()[0].type, 16);
    EXPECT_EQ(Boxes()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(dialog->lastUpdateResult()->step, update::Step::ready);
    EXPECT_EQ(dialog->statusLine()->text(),
              QStringLiteral("failed: the device stopped answering (Ready Time out)"));
    // The update-mode path: 0 at the start, 1 for the request, 2 before READY?.
    EXPECT_EQ(Progress()->value(), 2);
    // The user can try again or close, also once the worker has gone idle (its last pass
    // still asks for the open button to be disabled).
    EXPECT_EQ(State(), (Controls{false, true, true, true, true, kClose}));
    ASSERT_TRUE(WaitUntil([&] { return !dialog->procedure()->busy(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(State(), (Controls{false, true, true, true, true, kClose}));
}

TEST_F(DialogTest, ClosingWithADeviceOpenClosesItFirst) {
    auto& device = AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    OpenLine(0);
    ASSERT_TRUE(dialog->appDevice()->isOpen());
    Button(kIdClose)->click();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(dialog->appDevice(), nullptr);
    EXPECT_EQ(dialog->dfuDevice(), nullptr);
    EXPECT_EQ(dialog->procedure(), nullptr);
    // The device is free for the next program.
    hid::AppDevice other(bus);
    ASSERT_EQ(other.EnumerateDevices(), 1);
    EXPECT_EQ(other.Open(0), hid::kOpenOk);
    EXPECT_EQ(other.openSerial(), device.serial());
    other.Close();
}

TEST_F(DialogTest, EnterInThePathConfirmsItAndClosesNothingAndEscapeCloses) {
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    OpenLine(0);
    Path()->setFocus();
    QTest::keyClicks(Path(), QStringLiteral("/tmp/typed.bin"));
    ASSERT_FALSE(Button(kIdUpdate)->isEnabled());
    QTest::keyClick(Path(), Qt::Key_Return);
    // Enter confirms the typed path: the enabling rule runs, and Update is available.
    EXPECT_EQ(dialog->filePath(), QStringLiteral("/tmp/typed.bin"));
    EXPECT_TRUE(Button(kIdUpdate)->isEnabled());
    QTest::keyClicks(Path(), QStringLiteral(".2"));
    QTest::keyClick(Path(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(dialog->filePath(), QStringLiteral("/tmp/typed.bin.2"));
    // Still up, the device still open, the path as typed, no box.
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), 0);
    ASSERT_NE(dialog->appDevice(), nullptr);
    EXPECT_TRUE(dialog->appDevice()->isOpen());
    EXPECT_EQ(Path()->text(), QStringLiteral("/tmp/typed.bin.2"));
    EXPECT_TRUE(Boxes().empty());

    // Escape ends the run through the closing steps: the device is closed first.
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(dialog->appDevice(), nullptr);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(DialogTest, EnterOnAFocusedButtonPressesIt) {
    AddDevice(Mode::application, "VUMO-0001");
    MakeDialog();
    Button(kIdDeviceOpen)->setFocus();
    QTest::keyClick(Button(kIdDeviceOpen), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->openMode(), protocol::kModeApplication);
}

TEST_F(DialogTest, ClosingDuringAnUpdateAsksFirst) {
    sim::Faults faults;
    faults.silent.insert(sim::Reply::ready);
    AddDevice(Mode::update, "VUMO-0001", faults);
    MakeDialog(60s);  // the update waits for READY far longer than the test
    ReadyToUpdate(300);
    Button(kIdUpdate)->click();
    ASSERT_TRUE(dialog->UpdateRunning());
    EXPECT_FALSE(Button(kIdClose)->isEnabled());

    auto& boxes = dialog->messageBoxes();
    boxes.PresetNextAnswer(QMessageBox::No);
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    // Enter in the path closes nothing, so it asks nothing.
    QTest::keyClick(Path(), Qt::Key_Return);
    boxes.PresetNextAnswer(QMessageBox::No);
    dialog->close();
    ASSERT_EQ(Boxes().size(), 2u);
    for (const BoxRecord& box : Boxes()) {
        EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(box.answer, QMessageBox::No);
    }
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(dialog->UpdateRunning());

    // Confirmed: the worker is stopped and joined at once, not after the reply limit.
    boxes.PresetNextAnswer(QMessageBox::Yes);
    const auto start = std::chrono::steady_clock::now();
    QTest::keyClick(dialog.get(), Qt::Key_Escape);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->procedure(), nullptr);
    EXPECT_EQ(dialog->dfuDevice(), nullptr);
    EXPECT_EQ(Boxes().size(), 3u);
}

TEST_F(DialogTest, ClosingWhileTheWorkerWaitsForTheWindowDoesNotHang) {
    AddDevice(Mode::update, "VUMO-0001");
    MakeDialog();
    ReadyToUpdate(300);
    // The window closes from inside the worker's last call to it, while the worker waits for
    // that call to end: joining the worker must not wait for the window in turn.
    bool closed = false;
    QObject::connect(dialog.get(), &CVumo_DFU_UtilityDlg::updateFinished, dialog.get(), [&] {
        dialog->reject();
        closed = !dialog->isVisible() && dialog->procedure() == nullptr;
    });
    ASSERT_TRUE(PressUpdateAndWait());
    EXPECT_TRUE(closed);
    EXPECT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok);
}

// Every reply time-out keeps its fixed text and caption, and its box says what happened and
// what to do, in the words the command line uses for the same message.
TEST_F(DialogTest, EveryTimeOutBoxKeepsItsTextAndSaysWhatToDo) {
    struct Case {
        std::optional<sim::Reply> silent;
        std::optional<std::uint32_t> silentBlock;
        QString text;
    };
    const std::vector<Case> cases{
        {sim::Reply::ready, {}, QStringLiteral("Ready Time out")},
        {sim::Reply::location, {}, QStringLiteral("DFU Location time out")},
        {sim::Reply::size, {}, QStringLiteral("DFU Size time out")},
        {sim::Reply::start, {}, QStringLiteral("DFU start time out")},
        {{}, 1u, QStringLiteral("DFU upload time out : 1")},
    };
    for (const Case& c : cases) {
        dialog.reset();
        emulators.clear();
        sim::Faults faults;
        if (c.silent) faults.silent.insert(*c.silent);
        if (c.silentBlock) faults.silentBlocks.insert(*c.silentBlock);
        AddDevice(Mode::update, "VUMO-0001", faults);
        MakeDialog(300ms);
        ReadyToUpdate(300);
        ASSERT_TRUE(PressUpdateAndWait()) << c.text.toStdString();

        ASSERT_EQ(Boxes().size(), 1u) << c.text.toStdString();
        const BoxRecord& box = Boxes()[0];
        EXPECT_EQ(box.text, c.text);
        EXPECT_EQ(box.caption, QStringLiteral("ERROR"));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        // What happened, then what to do: the device stays in its loader, Update flashes it.
        const QStringList lines = box.detail.split(QLatin1Char('\n'));
        ASSERT_EQ(lines.size(), 2) << box.detail.toStdString();
        EXPECT_TRUE(lines[0].contains(QStringLiteral("stopped answering")))
            << lines[0].toStdString();
        EXPECT_TRUE(lines[1].contains(QStringLiteral("update loader"))) << lines[1].toStdString();
        EXPECT_TRUE(lines[1].contains(QStringLiteral("pressing Update again")));
        // The same words as the command line's cause and hint lines and the station's.
        ASSERT_TRUE(dialog->lastUpdateResult().has_value());
        EXPECT_EQ(box.detail.toStdString(),
                  messages::DetailText(dialog->lastUpdateResult()->explanation));
    }
}

// A device that leaves mid-upload: the box keeps its fixed text, says why and what to do once,
// and the window then no longer offers the departed device.
TEST_F(DialogTest, ADeviceThatLeavesMidUploadIsNoLongerOfferedAndItsBoxAdvisesOnce) {
    for (const Mode mode : {Mode::update, Mode::application}) {
        dialog.reset();
        emulators.clear();
        sim::Faults faults;
        faults.unplugAtBlock = 3;
        AddDevice(mode, "VUMO-0001", faults);
        MakeDialog(30s);  // the departure, not the limit, ends the wait
        ReadyToUpdate(900);
        ASSERT_TRUE(PressUpdateAndWait());
        ASSERT_EQ(Boxes().size(), 1u);
        EXPECT_EQ(Boxes()[0].text, QStringLiteral("DFU upload time out : 3"));
        const QStringList lines = Boxes()[0].detail.split(QLatin1Char('\n'));
        ASSERT_EQ(lines.size(), 2) << Boxes()[0].detail.toStdString();
        EXPECT_EQ(lines[0], QStringLiteral("The device left the bus at block 3."));
        EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Plug it in again")))
            << lines[1].toStdString();
        // The advice that the device stays in its loader comes once, not again from the table.
        EXPECT_EQ(Boxes()[0].detail.count(QStringLiteral("update loader")), 1)
            << Boxes()[0].detail.toStdString();

        // Refreshed as at a device change: nothing listed, nothing open, nothing to update.
        EXPECT_EQ(List()->count(), 0);
        EXPECT_EQ(dialog->openMode(), 0);
        EXPECT_FALSE(dialog->dfuDevice()->isOpen());
        EXPECT_EQ(State(), (Controls{true, false, false, true, true, kOpen}));
        // And stays so once the removal itself has been handled.
        QCoreApplication::processEvents();
        EXPECT_EQ(State(), (Controls{true, false, false, true, true, kOpen}));
    }
}

// Under fast pacing a time-out says how to get the standard pauses in a window: start it
// without the flag, not a flag to give to an update.
TEST_F(DialogTest, TheFastPacingAdviceSaysHowToStartTheWindow) {
    pacing = update::Pacing::fast;
    sim::Faults faults;
    faults.silent.insert(sim::Reply::location);
    AddDevice(Mode::update, "VUMO-0001", faults);
    MakeDialog(300ms);
    ReadyToUpdate(300);
    ASSERT_TRUE(PressUpdateAndWait());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("DFU Location time out"));
    const QString& detail = Boxes()[0].detail;
    EXPECT_TRUE(detail.contains(QStringLiteral("fast pacing"))) << detail.toStdString();
    EXPECT_TRUE(detail.contains(QStringLiteral("start the utility again without --pacing fast")))
        << detail.toStdString();
    EXPECT_FALSE(detail.contains(QStringLiteral("try again with --pacing standard")))
        << detail.toStdString();
}

TEST_F(DialogTest, TheCompletionBoxHasNoDetail) {
    AddDevice(Mode::update, "VUMO-0001");
    MakeDialog();
    ReadyToUpdate(300);
    ASSERT_TRUE(PressUpdateAndWait());
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."));
    EXPECT_TRUE(Boxes()[0].detail.isEmpty()) << Boxes()[0].detail.toStdString();
}

namespace {

// Sends a drag of `urls` over `target` and drops it there; true when the drop was taken.
bool DragAndDrop(QWidget* target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    const QPointF at(target->width() / 2.0, target->height() / 2.0);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

}  // namespace

TEST_F(DialogTest, ADroppedFileIsChosenAsBrowseChoosesOne) {
    AddDevice(Mode::update, "VUMO-0001");
    MakeDialog();
    OpenLine(0);
    const QString file = WriteFirmware(300);

    // Dropped on the field: a choice of file, as "Browse" makes one: the field shows it and
    // Update is available at once.
    ASSERT_TRUE(DragAndDrop(Path(), {QUrl::fromLocalFile(file)}));
    EXPECT_EQ(Path()->text(), file);
    EXPECT_EQ(dialog->filePath(), file);
    EXPECT_TRUE(Button(kIdUpdate)->isEnabled());

    // Dropped anywhere on the window: the same.
    Path()->clear();
    Button(kIdDeviceOpen)->click();
    OpenLine(0);
    ASSERT_FALSE(Button(kIdUpdate)->isEnabled());
    ASSERT_TRUE(DragAndDrop(dialog.get(), {QUrl::fromLocalFile(file + QStringLiteral(".2"))}));
    EXPECT_EQ(Path()->text(), file + QStringLiteral(".2"));
    EXPECT_TRUE(Button(kIdUpdate)->isEnabled());

    // Two files, or an address that is not a local file, are refused and change nothing.
    EXPECT_FALSE(DragAndDrop(Path(), {QUrl::fromLocalFile(file), QUrl::fromLocalFile(file)}));
    EXPECT_FALSE(DragAndDrop(Path(), {QUrl(QStringLiteral("https://example.invalid/fw.bin"))}));
    EXPECT_EQ(Path()->text(), file + QStringLiteral(".2"));

    // The dropped file is what the update takes.
    Path()->setText(file);
    dialog->UpdateControls();
    ASSERT_TRUE(PressUpdateAndWait());
    EXPECT_EQ(dialog->lastUpdateResult()->outcome, update::Outcome::ok);
    EXPECT_EQ(emulators[0]->firmware(), PaddedFirmware());
}

TEST_F(DialogTest, AnUpdateThatEndsWhileTheWindowIsNotActiveAsksForAttention) {
    AddDevice(Mode::update, "VUMO-0001");
    MakeDialog();
    ReadyToUpdate(300);

    // Once with the window active, once with another window in front.
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    ASSERT_TRUE(PressUpdateAndWait());
    EXPECT_EQ(dialog->attentionRequests(), 0);

    OpenLine(0);
    ASSERT_TRUE(WaitUntil([&] { return dialog->openMode() != 0 || List()->count() > 0; }));
    if (dialog->openMode() == 0) OpenLine(0);
    ASSERT_NE(dialog->openMode(), 0);
    dialog->UpdateControls();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    ASSERT_TRUE(PressUpdateAndWait());
    EXPECT_EQ(dialog->attentionRequests(), 1);
    // The completion box still came.
    ASSERT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Boxes()[1].text, QStringLiteral("Firmware uploaded.\r\nNow Rebooting."));
}

}  // namespace
}  // namespace vumo::app
