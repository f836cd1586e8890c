// The window rule and the update presenter, with a view that writes down what it is told.

#include "frontend/window_rule.h"

#include <gtest/gtest.h>

#include <chrono>
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
        // Watching for the restarted device: everything but "Update", which waits for the end.
        {{0, 1, false, false, true}, {true, true, false, true, true, false, false}},
        {{13, 1, false, false, true}, {false, true, false, true, true, true, false}},
    };
    for (const Row& row : rows) {
        const ControlStates got = ControlRule(row.in);
        EXPECT_EQ(got, row.out) << "openMode " << int{row.in.openMode} << " lines "
                                << row.in.listLines << " pathEmpty " << row.in.pathEmpty
                                << " running " << row.in.updateRunning << " watching "
                                << row.in.watchingForBoot;
    }
}

// Each change the window is asked to carry out, in words: one line per hand-over.
class RecordingView final : public UpdateView {
public:
    std::vector<std::string> calls;
    void Apply(const WindowChange& c) override {
        std::string line;
        const auto add = [&line](const std::string& part) {
            line += (line.empty() ? "" : ", ") + part;
        };
        if (c.status) add("status \"" + StatusText(*c.status) + "\"");
        if (c.progressMaximum) add("range 0.." + std::to_string(*c.progressMaximum));
        if (c.progressStep) add("step");
        if (c.progress) add("at " + std::to_string(*c.progress));
        if (c.warning) add(*c.warning ? "warning" : "no warning");
        if (c.openButtonOff) add("open off");
        if (c.updateButtonOff) add("update off");
        if (c.bootWatchBegan) add("watch");
        if (c.box)
            add("box [" + c.box->caption + "] " + std::to_string(c.box->type) + " " + c.box->text +
                " | " + WindowDetail(c.box->cause));
        if (c.deviceOpened) add("opened " + c.deviceOpened->serial);
        if (c.finished) add("finished");
        calls.push_back(line);
    }
};

TEST(UpdatePresenterTest, TurnsTheEnginesEventsIntoOneChangeOfTheWindowEach) {
    RecordingView view;
    update::Pauses pauses;
    pauses.settlePasses = 2;
    pauses.settle = std::chrono::milliseconds(500);
    UpdatePresenter presenter(view, pauses);
    update::UpdateEvents& events = presenter;
    events.Began(23);
    events.MilestoneReached(update::Milestone::begun);
    events.PhaseChanged(update::Phase::settling, 0, 23);
    events.MilestoneReached(update::Milestone::settlePass);
    events.DeviceOpened({"VUMO-0001", "1-1"});
    events.PhaseChanged(update::Phase::handshake, 0, 23);
    for (std::uint32_t block : {0u, 4u, 5u, 9u, 10u, 15u})
        events.PhaseChanged(update::Phase::uploading, block, 23);
    events.UploadClosed();
    events.UploadClosed();  // the warning is shown already: nothing to hand over
    events.Uploaded("Firmware uploaded.\r\nNow Rebooting.");
    events.PhaseChanged(update::Phase::confirming, 0, 23);
    events.Failed({update::Step::ready,
                   "Ready Time out",
                   {"the device did not answer",
                    "this update used fast pacing: try again with --pacing standard."}});
    update::UpdateResult result;
    result.outcome = update::Outcome::failed;
    result.step = update::Step::ready;
    result.message = "Ready Time out";
    events.Finished(result);
    EXPECT_EQ(view.calls,
              (std::vector<std::string>{
                  "range 0..53",
                  "step",
                  "status \"waiting for the device (1 s)\"",
                  "step, open off, update off",
                  "opened VUMO-0001",
                  "status \"preparing the upload\", open off",
                  "status \"uploading block 1 of 23\", at 31",
                  "status \"uploading block 5 of 23\", at 35",
                  "status \"uploading block 6 of 23\", at 36, no warning",
                  "status \"uploading block 10 of 23\", at 40",
                  "status \"uploading block 11 of 23\", at 41, warning",
                  "status \"uploading block 16 of 23\", at 46, no warning",
                  "warning",
                  "box [Update Complete ] 0 Firmware uploaded.\r\nNow Rebooting. | ",
                  "status \"waiting for the device to start its new firmware\", watch",
                  "status \"failed: the device stopped answering (Ready Time out)\", box [ERROR] "
                  "16 Ready Time out | The device did not answer.\n"
                  "This update used fast pacing: close the window and start the utility again "
                  "without --pacing fast: it then keeps the standard pauses that some loaders "
                  "need.",
                  "finished",
              }));
}

}  // namespace
}  // namespace vumo::frontend
