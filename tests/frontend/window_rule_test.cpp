// The window rule and the update presenter, with a view that writes down what it is told.

#include "frontend/window_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vumo::frontend {
namespace {

TEST(ControlRuleTest, GivesTheStatesOfTheEnablingRule) {
    struct Row {
        ControlInputs in;
        ControlStates out;
    };
    // list, open, update, browse, close, "Close Device", path read-only
    const std::vector<Row> rows = {
        // Nothing open: the list and "Open Device" (if there is a line to open).
        {{0, 2, true, false}, {true, true, false, true, true, false, false}},
        {{0, 0, false, false}, {true, false, false, true, true, false, false}},
        // A device open: "Update" only with a path; the button closes even with an empty list.
        {{13, 1, true, false}, {false, true, false, true, true, true, false}},
        {{223, 1, false, false}, {false, true, true, true, true, true, false}},
        {{13, 0, false, false}, {false, true, true, true, true, true, false}},
        // An update running: nothing that would cut it short, the path kept as it was.
        {{13, 1, false, true}, {false, false, false, false, false, true, true}},
        {{0, 1, false, true}, {false, false, false, false, false, false, true}},
    };
    for (const Row& row : rows) {
        const ControlStates got = ControlRule(row.in);
        EXPECT_EQ(got, row.out) << "openMode " << int{row.in.openMode} << " lines "
                                << row.in.listLines << " pathEmpty " << row.in.pathEmpty
                                << " running " << row.in.updateRunning;
    }
}

class RecordingView final : public UpdateView {
public:
    std::vector<std::string> calls;
    void SetProgressRange(int minimum, int maximum) override {
        calls.push_back("range " + std::to_string(minimum) + ".." + std::to_string(maximum));
    }
    void ProgressStep() override { calls.push_back("step"); }
    void SetProgress(int position) override { calls.push_back("at " + std::to_string(position)); }
    void ShowWarning(bool visible) override { calls.push_back(visible ? "warning" : "no warning"); }
    void EnableOpenButton(bool enabled) override {
        calls.push_back(enabled ? "open on" : "open off");
    }
    void EnableUpdateButton(bool enabled) override {
        calls.push_back(enabled ? "update on" : "update off");
    }
    void ShowBox(const std::string& text, const std::string& caption, unsigned type,
                 const std::string& detail) override {
        calls.push_back("box [" + caption + "] " + std::to_string(type) + " " + text + " | " +
                        detail);
    }
};

TEST(UpdatePresenterTest, TurnsTheEnginesEventsIntoTheWindowsBarWarningButtonsAndBoxes) {
    RecordingView view;
    UpdatePresenter presenter(view);
    update::UpdateEvents& events = presenter;
    events.Began(23);
    events.MilestoneReached(update::Milestone::begun);
    events.MilestoneReached(update::Milestone::settlePass);
    events.PhaseChanged(update::Phase::handshake, 0, 23);
    for (std::uint32_t block : {0u, 4u, 5u, 9u, 10u})
        events.PhaseChanged(update::Phase::uploading, block, 23);
    events.UploadClosed();
    events.Uploaded("Firmware uploaded.\r\nNow Rebooting.");
    events.Failed({update::Step::ready,
                   "Ready Time out",
                   {"the device did not answer",
                    "this update used fast pacing: try again with --pacing standard."}});
    EXPECT_EQ(view.calls, (std::vector<std::string>{
                              "range 0..53",
                              "step",
                              "open off",
                              "update off",
                              "step",
                              "open off",
                              "at 31",
                              "warning",
                              "at 35",
                              "warning",
                              "at 36",
                              "no warning",
                              "at 40",
                              "no warning",
                              "at 41",
                              "warning",
                              "warning",
                              "box [Update Complete ] 0 Firmware uploaded.\r\nNow Rebooting. | ",
                              "box [ERROR] 16 Ready Time out | The device did not answer.\n"
                              "This update used fast pacing: close the window and start the "
                              "utility again without --pacing fast: it then keeps the standard "
                              "pauses that some loaders need.",
                          }));
}

}  // namespace
}  // namespace vumo::frontend
