// SPDX-License-Identifier: MIT
// CPU cost of one polling cycle (LineMonitor::Timer1_Timer on the real window)
// against its floor: the bare serial component calls the cycle makes. Also
// the wall time of a steady tick when each line request takes 1 ms, as on a
// USB adapter. Each is
// measured on an in-memory fake port and, when the benchmark runs with the
// virtual-device preload, on the real QtSerialPort over a pty. At the end the
// ratios cycle/floor are printed. The service's tick (the same cycle on a
// panel without a window, with the event log and the watchdog feed the
// service connects to it) is measured the same two ways on the virtual device.
//
// Run by hand (bench/run-benchmarks.sh runs it too). Without the preload in the
// environment the program starts itself again with LD_PRELOAD and a private
// VSERIAL_DEVICES, so the virtual-device rows are never skipped by accident.

#include "app/bench.h"
#include "app/line_history_window.h"
#include "app/line_timeline.h"
#include "app/main_window.h"
#include "record/event_log.h"
#include "core/panel.h"
#include "host/unattended.h"
#include "fake_script_launcher.h"
#include "fake_serial_port.h"
#include "core/line_monitor.h"
#include "serial/line_history.h"
#include "serial/qt_serial_port.h"

#ifdef PHONE_HOME_BENCH_VSERIAL
#include "virtual_serial_device.h"
#endif

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QMetaMethod>
#include <QTimer>
#include <QWindow>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace {

enum class Device { Fake, Virtual };
// Steady: inputs stay low, the idle state of a quiet alarm panel.
// Flip: all three inputs alternate high and low, so every cycle repaints.
enum class Pattern { Steady, Flip };

#ifdef PHONE_HOME_BENCH_VSERIAL
std::unique_ptr<VirtualSerialDevice> g_device;
#endif

bool virtualAvailable()
{
#ifdef PHONE_HOME_BENCH_VSERIAL
    return g_device && g_device->isValid() && VirtualSerialDevice::isPreloadActive();
#else
    return false;
#endif
}

// The port under test plus a way to drive its inputs from outside.
struct PortRig {
    std::unique_ptr<SerialPort> port;
    FakeSerialPort *fake = nullptr;

    void setInputs(bool high)
    {
        if (fake) {
            fake->cts = fake->dsr = fake->dcd = high;
            return;
        }
#ifdef PHONE_HOME_BENCH_VSERIAL
        g_device->setInputs(high, high, high);
#endif
    }

    // Component calls (fake) or line ioctls (virtual) so far: shows that the
    // cycle and its floor really do the same device work.
    double deviceOps() const
    {
        if (fake)
            return fake->lineReads + fake->lineWrites;
#ifdef PHONE_HOME_BENCH_VSERIAL
        return g_device->ioctlCount();
#else
        return 0;
#endif
    }
};

// Port 3 is the virtual device through its alias /dev/com3, as a udev rule
// would name an adapter; the fake answers any number.
bool makePort(Device device, PortRig *rig, benchmark::State &state)
{
    if (device == Device::Fake) {
        auto fake = std::make_unique<FakeSerialPort>();
        rig->fake = fake.get();
        rig->port = std::move(fake);
        return true;
    }
    if (!virtualAvailable()) {
        state.SkipWithError("virtual device not available (built without tests, or preload not loaded)");
        return false;
    }
    rig->port = std::make_unique<QtSerialPort>();
    return true;
}

// Counts paint events: a steady cycle must cause none.
struct PaintCounter : QObject {
    long paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

void drainEvents()
{
    // Several passes: a paint can post further events (e.g. a backing store flush).
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// The line history beside the cycle: its window closed (as always before
// it is first opened), the history cut off from the port and the monitor
// altogether (the baseline: no history at all), or its window shown.
enum class History { Closed, Detached, Shown };

// One cycle of the real window; event processing is inside the timed loop so
// that repaints a cycle schedules are paid for where they occur.
void cycle(benchmark::State &state, Device device, Pattern pattern, History history = History::Closed)
{
    PortRig rig;
    if (!makePort(device, &rig, state))
        return;
    rig.setInputs(false);
    MainWindow window(std::move(rig.port), std::make_unique<FakeScriptLauncher>());
    window.show();
    QElapsedTimer shown;
    shown.start();
    while (!window.windowHandle()->isExposed() && shown.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    window.findChild<QComboBox *>(QStringLiteral("Combo1"))->setEditText(QStringLiteral("3"));
    LineMonitor *monitor = window.panel()->lineMonitor();
    bool failed = false;
    QObject::connect(monitor, &LineMonitor::errorOccurred, [&](int number, const QString &text) {
        failed = true;
        std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
    });
    monitor->Command1_Click();
    // The benchmark calls the cycle itself; the window's timer must not add ticks.
    window.panel()->timer()->stop();
    if (failed) {
        state.SkipWithError("could not open port 3");
        return;
    }
    Bench *bench = window.bench();
    if (history == History::Detached) {
        QObject::disconnect(monitor, nullptr, bench, nullptr);
        QObject::disconnect(monitor, nullptr, bench->history(), nullptr);
        QObject::disconnect(window.panel()->port(), nullptr, bench->history(), nullptr);
    } else if (history == History::Shown) {
        bench->showHistory();
    }
    monitor->Timer1_Timer();
    drainEvents();
    const int rowsBefore = bench->history()->size();
    const quint64 droppedBefore = bench->history()->dropped();

    PaintCounter counter;
    for (QWidget *w : window.findChildren<QWidget *>())
        w->installEventFilter(&counter);
    window.installEventFilter(&counter);
    const double opsBefore = rig.deviceOps();

    bool high = false;
    for (auto _ : state) {
        if (pattern == Pattern::Flip) {
            high = !high;
            rig.setInputs(high);
        }
        monitor->Timer1_Timer();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    if (failed)
        state.SkipWithError("the port failed while polling");
    const double n = double(state.iterations());
    state.counters["paints/cycle"] = double(counter.paints) / n;
    state.counters["devops/cycle"] = (rig.deviceOps() - opsBefore) / n;
    state.counters["history_rows/cycle"] =
        double(bench->history()->size() - rowsBefore + qint64(bench->history()->dropped() - droppedBefore)) / n;
    if (history == History::Shown)
        bench->historyWindow()->hide();
}

// Wall time the thread spends in one steady tick when every line request
// waits as long as a round trip to a USB adapter's chip: the tick itself
// only, without the event pass after it. Its floor is one request.
void tickWithLatency(benchmark::State &state, quint32 latencyUs)
{
#ifdef PHONE_HOME_BENCH_VSERIAL
    PortRig rig;
    if (!makePort(Device::Virtual, &rig, state))
        return;
    rig.setInputs(false);
    MainWindow window(std::move(rig.port), std::make_unique<FakeScriptLauncher>());
    window.findChild<QComboBox *>(QStringLiteral("Combo1"))->setEditText(QStringLiteral("3"));
    auto *monitor = window.findChild<LineMonitor *>();
    bool failed = false;
    QObject::connect(monitor, &LineMonitor::errorOccurred, [&](int, const QString &) { failed = true; });
    monitor->Command1_Click();
    window.findChild<QTimer *>(QStringLiteral("Timer1"))->stop();
    if (failed) {
        state.SkipWithError("could not open port 3");
        return;
    }
    monitor->Timer1_Timer();
    drainEvents();
    g_device->setLatency(latencyUs);
    const double opsBefore = rig.deviceOps();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        monitor->Timer1_Timer();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    g_device->setLatency(0);
    if (failed)
        state.SkipWithError("the port failed while polling");
    state.counters["devops/cycle"] = (rig.deviceOps() - opsBefore) / double(state.iterations());
    monitor->Command2_Click();
#else
    Q_UNUSED(latencyUs)
    state.SkipWithError("built without the virtual device");
#endif
}

// The service's tick: the panel's timer firing, which runs the cycle and feeds
// the watchdog, on the panel rs232-phone-homed builds (event log watching it,
// notifications armed). latencyUs 0: CPU time per tick; otherwise the wall
// time of the tick with every line request answered after that long.
void serviceTick(benchmark::State &state, quint32 latencyUs)
{
#ifdef PHONE_HOME_BENCH_VSERIAL
    PortRig rig;
    if (!makePort(Device::Virtual, &rig, state))
        return;
    rig.setInputs(false);
    Panel panel(std::move(rig.port), std::make_unique<FakeScriptLauncher>());
    // The log's lines are formatted and written as the service writes them.
    std::FILE *sink = std::fopen("/dev/null", "w");
    EventLog log(sink);
    log.setPort(QStringLiteral("3"), QString());
    log.watch(&panel);
    bool failed = false;
    QObject::connect(&panel, &Panel::errorOccurred, [&](int number, const QString &text) {
        failed = true;
        std::fprintf(stderr, "error %d: %s\n", number, qPrintable(text));
    });
    Unattended::Options options;
    options.port = QStringLiteral("3");
    Unattended service(&panel, &log, options);
    service.start();
    panel.timer()->stop();
    if (failed || service.deviceAway()) {
        state.SkipWithError("could not open port 3");
        std::fclose(sink);
        return;
    }
    const QMetaMethod timeout = QMetaMethod::fromSignal(&QTimer::timeout);
    const auto tick = [&] { timeout.invoke(panel.timer(), Qt::DirectConnection); };
    tick();
    drainEvents();
    g_device->setLatency(latencyUs);
    const double opsBefore = rig.deviceOps();
    for (auto _ : state) {
        if (latencyUs == 0) {
            tick();
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        tick();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    g_device->setLatency(0);
    if (failed)
        state.SkipWithError("the port failed while polling");
    state.counters["devops/cycle"] = (rig.deviceOps() - opsBefore) / double(state.iterations());
    service.stop();
    std::fclose(sink);
#else
    Q_UNUSED(latencyUs)
    state.SkipWithError("built without the virtual device");
#endif
}

// One drawing of the history's timeline holding its most, 100,000 changes,
// 10 s across: what the window spends at each refresh while shown.
void timelinePaint(benchmark::State &state)
{
    LineHistory history;
    const QDateTime open = QDateTime::currentDateTime().addSecs(-3600);
    history.start(open, LineReading(), AdapterDriver());
    for (int i = 1; history.size() < LineHistory::kDefaultCapacity; ++i)
        history.addOutputs(open.addMSecs(i * 30), i % 2, (i / 2) % 2);
    LineTimeline timeline(&history);
    timeline.resize(900, timeline.sizeHint().height());
    timeline.setView(QDateTime::currentMSecsSinceEpoch(), 10000);
    QImage image(timeline.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state)
        timeline.render(&image);
    state.counters["rows"] = history.size();
}

// What the event pass inside each cycle costs on its own, with a window shown
// and nothing pending: the part of a steady cycle that is not the cycle.
void eventPass(benchmark::State &state)
{
    MainWindow window(std::make_unique<FakeSerialPort>(), std::make_unique<FakeScriptLauncher>());
    window.show();
    drainEvents();
    for (auto _ : state)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// The component calls of one cycle: one reading of every line. The outputs
// already match the boxes, so a steady or flipping cycle writes nothing.
bool componentCalls(SerialPort &port)
{
    const LineState lines = port.readLines();
    return lines.cts ^ lines.dsr ^ lines.dcd;
}

bool threeReads(SerialPort &port)
{
    return port.ctsHolding() ^ port.dsrHolding() ^ port.cdHolding();
}

template<bool (*Calls)(SerialPort &)>
void floorOf(benchmark::State &state, Device device, Pattern pattern)
{
    PortRig rig;
    if (!makePort(device, &rig, state))
        return;
    rig.setInputs(false);
    try {
        rig.port->setCommPort(3);
        rig.port->setPortOpen(true);
    } catch (const PhoneHomeError &e) {
        state.SkipWithError(qPrintable(e.text()));
        return;
    }
    const double opsBefore = rig.deviceOps();
    bool high = false;
    try {
        for (auto _ : state) {
            if (pattern == Pattern::Flip) {
                high = !high;
                rig.setInputs(high);
            }
            benchmark::DoNotOptimize(Calls(*rig.port));
        }
    } catch (const PhoneHomeError &e) {
        state.SkipWithError(qPrintable(e.text()));
        return;
    }
    state.counters["devops/cycle"] = (rig.deviceOps() - opsBefore) / double(state.iterations());
    rig.port->setPortOpen(false);
}

// Names pair up in the ratio table: cycle/X against floor/X and reads3/<device>.
void registerAll()
{
    using benchmark::RegisterBenchmark;
    using benchmark::State;
    const struct {
        const char *name;
        Device device;
    } devices[] = {{"fake", Device::Fake}, {"virtual", Device::Virtual}};
    for (const auto &[name, device] : devices) {
        const std::string d = name;
        for (const Pattern pattern : {Pattern::Steady, Pattern::Flip}) {
            const std::string tail = d + (pattern == Pattern::Steady ? "_steady" : "_flip");
            const Device dev = device;
            RegisterBenchmark(("cycle/" + tail).c_str(), [dev, pattern](State &s) { cycle(s, dev, pattern); });
            RegisterBenchmark(("floor/" + tail).c_str(),
                              [dev, pattern](State &s) { floorOf<componentCalls>(s, dev, pattern); });
        }
        const Device dev = device;
        RegisterBenchmark(("reads3/" + d).c_str(), [dev](State &s) { floorOf<threeReads>(s, dev, Pattern::Steady); });
    }
    // The polling path with the history's window closed against no history at
    // all: the ratio should be 1 and the rows 0. Shown, for what it costs.
    for (const Pattern pattern : {Pattern::Steady, Pattern::Flip}) {
        const std::string p = pattern == Pattern::Steady ? "steady" : "flip";
        const struct {
            const char *name;
            History history;
        } views[] = {{"closed", History::Closed}, {"detached", History::Detached}, {"shown", History::Shown}};
        for (const auto &[name, view] : views) {
            const History h = view;
            RegisterBenchmark(("history/fake_" + p + "_" + name).c_str(),
                              [pattern, h](State &s) { cycle(s, Device::Fake, pattern, h); });
        }
    }
    RegisterBenchmark("history/timeline_paint_100k", timelinePaint)->Unit(benchmark::kMillisecond);
    RegisterBenchmark("events/empty_pass", eventPass);
    RegisterBenchmark("tick/virtual_steady_1ms_latency", [](State &s) { tickWithLatency(s, 1000); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    RegisterBenchmark("service/virtual_steady", [](State &s) { serviceTick(s, 0); });
    RegisterBenchmark("tick/service_steady_1ms_latency", [](State &s) { serviceTick(s, 1000); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

// Prints the usual table, then each cycle's CPU time as a multiple of its floors.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            // With repetitions, the median stands for the benchmark.
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string name = run.run_name.str();
            if (median || (run.run_type == Run::RT_Iteration && !m_fromMedian.count(name)))
                m_cpu[name] = run.GetAdjustedCPUTime();
            if (median)
                m_fromMedian[name] = true;
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nRatios of CPU time per cycle:\n");
        for (const char *d : {"fake", "virtual"}) {
            for (const char *p : {"steady", "flip"}) {
                const std::string tail = std::string(d) + "_" + p;
                ratio("cycle/" + tail, "floor/" + tail);
            }
            ratio(std::string("cycle/") + d + "_steady", std::string("reads3/") + d);
        }
        ratio("service/virtual_steady", "floor/virtual_steady");
        std::printf("\nThe line history's cost to the polling path (closed should be 1.00):\n");
        for (const char *p : {"steady", "flip"}) {
            for (const char *view : {"closed", "shown"})
                ratio(std::string("history/fake_") + p + "_" + view, std::string("history/fake_") + p + "_detached");
        }
    }

private:
    void ratio(const std::string &num, const std::string &den)
    {
        const auto a = m_cpu.find(num);
        const auto b = m_cpu.find(den);
        if (a == m_cpu.end() || b == m_cpu.end() || b->second <= 0)
            return;
        std::printf("  %-22s / %-22s = %6.2f\n", num.c_str(), den.c_str(), a->second / b->second);
    }

    std::map<std::string, double> m_cpu;
    std::map<std::string, bool> m_fromMedian;
};

#ifdef PHONE_HOME_BENCH_VSERIAL
// Runs this program again with the preload and a private device directory,
// then removes the directory. Returns the child's exit status, or -1 if the
// preload cannot be arranged (the virtual rows are then skipped).
int rerunWithPreload(char **argv)
{
    char dir[] = "/tmp/phone-home-bench-XXXXXX";
    if (!::mkdtemp(dir))
        return -1;
    std::string preload = PHONE_HOME_VSERIAL_PRELOAD;
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    const pid_t child = ::fork();
    if (child < 0) {
        ::rmdir(dir);
        return -1;
    }
    if (child == 0) {
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        ::setenv("VSERIAL_DEVICES", dir, 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        ::execv("/proc/self/exe", argv);
        std::perror("exec");
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The child removed its device directory; only ours can be left.
    ::rmdir(dir);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

} // namespace

int main(int argc, char **argv)
{
#ifdef PHONE_HOME_BENCH_VSERIAL
    if (!VirtualSerialDevice::isPreloadActive() && !std::getenv("PHONE_HOME_BENCH_NO_RERUN")) {
        ::setenv("PHONE_HOME_BENCH_NO_RERUN", "1", 1);
        const int status = rerunWithPreload(argv);
        if (status >= 0)
            return status;
    }
#endif
    // Paints go to an in-memory backing store: real raster work, no display needed.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

#ifdef PHONE_HOME_BENCH_VSERIAL
    if (VirtualSerialDevice::isPreloadActive()) {
        g_device = std::make_unique<VirtualSerialDevice>();
        if (!g_device->isValid() || !g_device->setAlias(QStringLiteral("/dev/com3"))) {
            std::fprintf(stderr, "virtual device: %s\n", qPrintable(g_device->errorString()));
            g_device.reset();
        }
    }
#endif

    registerAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // Plain lines with counters inline: the tabular form repeats its header
    // whenever the counters change from one row to the next.
    RatioReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color
                                                   : benchmark::ConsoleReporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
#ifdef PHONE_HOME_BENCH_VSERIAL
    g_device.reset();
#endif
    return 0;
}
