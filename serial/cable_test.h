// SPDX-License-Identifier: MIT
#pragma once

// The loopback test: DTR and RTS are driven through their four
// combinations; after each, the inputs are given time to settle and read,
// and the driver's counters (where it keeps them), read before and after,
// tell a wire that bounced.
// From which inputs follow which output it names what is plugged in: the
// standard loopback plug (RTS to CTS, DTR to DSR and DCD), one that also
// wires RI, no plug at all, or what is missing. The outputs are left as
// they were found.

#include "adapter_driver.h"
#include "serial_port.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>

class CableTest : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kSettle{50};
    // A step whose counters moved is looked at again after another settle
    // time, up to this many times.
    static constexpr int kExtraSettles = 3;

    enum class Input { Cts, Dsr, Dcd, Ri };
    static constexpr int kInputs = 4;
    enum class Finding { StandardPlug, PlugWithRi, NoPlug, Other };

    struct Result {
        // Per step (DTR, RTS) = (low, low), (high, low), (low, high),
        // (high, high), each input's level.
        std::array<std::array<bool, kInputs>, 4> levels{};
        std::array<bool, kInputs> bounced{};
        std::array<bool, kInputs> reported{true, true, true, true};
        Finding finding = Finding::Other;
        // "RTS (7) → CTS (8); DTR (4) → DSR (6), DCD (1)"
        QString wiring;
        // What it is, and what is missing or odd, in sentences.
        QString verdict;
        bool passed() const { return finding == Finding::StandardPlug || finding == Finding::PlugWithRi; }
        QString text() const { return wiring + QStringLiteral("\n") + verdict; }
    };

    explicit CableTest(SerialPort *port, QObject *parent = nullptr);

    // Runs on the open port; finished() or failed() follows.
    void start();
    bool running() const { return m_step >= 0; }
    // The port closed under the test: it ends without a verdict.
    void cancel();

    // What the levels mean, without a port.
    static Result judge(const std::array<std::array<bool, kInputs>, 4> &levels,
                        const std::array<bool, kInputs> &bounced, const AdapterDriver &driver);
    static QString inputName(Input input);

Q_SIGNALS:
    void finished(const CableTest::Result &result);
    void failed(int number, const QString &text);

private:
    void drive();
    void settled();
    void restore();
    void fail(int number, const QString &text);

    SerialPort *m_port;
    QTimer m_settle;
    int m_step = -1;
    int m_extra = 0;
    bool m_foundDtr = false;
    bool m_foundRts = false;
    LineReading m_stepStart;
    std::array<quint32, kInputs> m_looked{};
    std::array<std::array<bool, kInputs>, 4> m_levels{};
    std::array<bool, kInputs> m_bounced{};
};
