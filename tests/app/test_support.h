#pragma once
// Shared by the window's tests: readable QString output and a bounded wait that keeps the
// event loop running.

#include <QString>
#include <QTest>

#include <functional>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace vumo::app::testing_support {

inline constexpr int kWaitMs = 10'000;

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
    return QTest::qWaitFor(condition, timeoutMs);
}

}  // namespace vumo::app::testing_support
