#include "app/caret_blink.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

namespace vumo::app {
namespace {

using namespace std::chrono_literals;

TEST(CaretBlinkLimit, StopsAfterIdleAndBlinksAgainAtInput) {
    const int flashTime = QApplication::cursorFlashTime();
    ASSERT_GT(flashTime, 0);
    QLineEdit edit;
    edit.show();
    edit.setFocus();
    {
        CaretBlinkLimit limit(50ms);
        EXPECT_TRUE(limit.blinking());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !limit.blinking(); }, 5000));
        EXPECT_EQ(QApplication::cursorFlashTime(), 0);

        QTest::keyClick(&edit, Qt::Key_A);
        EXPECT_TRUE(limit.blinking());
        EXPECT_EQ(QApplication::cursorFlashTime(), flashTime);
        // And stops again once input has stopped.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !limit.blinking(); }, 5000));
    }
    EXPECT_EQ(QApplication::cursorFlashTime(), flashTime);
}

}  // namespace
}  // namespace vumo::app
