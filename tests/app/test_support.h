#pragma once
// Shared by the window's tests: readable QString output and a bounded wait that keeps the
// event loop running.

#include <QFile>
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

// Writes a stand-in checksum tool at `path` that marks every file as firmware of location
// code 2; false when it can't.
inline bool WriteAcceptingTool(const QString& path) {
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly)) return false;
    script.write("#!/bin/sh\necho 'Adding 0x10008000'\necho 'Adding 0x1a020000'\n");
    script.close();
    return script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Writes `bytes` bytes of 0x01 as a firmware file at `path`; false when it can't.
inline bool WriteFirmware(const QString& path, int bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(bytes, '\1')) == bytes;
}

}  // namespace vumo::app::testing_support
