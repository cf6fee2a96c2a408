// SPDX-License-Identifier: MIT
#pragma once

// Notifications that are told until they are delivered.
//
// An alarm (also clear, lost, restored, heartbeat) is written to the spool,
// a folder of one small file per pending notification, and is on disk
// (SmallFile::write) before its script starts. A script that fails (non-zero
// exit, signal, stopped at its timeout, or refused) is started again after
// base x 1, 3, 6, 12, 30, 60 and then every base x 60, with the event's own
// time and the next attempt number, until it succeeds or retryFor has passed
// since the first start in this run: time the program waited, never the
// calendar, which jumps when a machine without a clock finds the network.
// Success or giving up removes the file. At start the spool is resumed: every
// entry is started again at once, one that cannot be read as the channel and
// reason its name gives. So a crash or a power cut at any moment loses
// nothing that was seen; at worst a message goes out twice.
//
// A spool that cannot be written (a full or read-only disk) does not stop a
// script: it is told once, and once more when writes work again.
//
// One pending notification per channel and reason: a new onset while a
// retry is due is told by that retry; one while the script still runs starts
// it again at once and takes the earlier one's place. Test-button runs do
// not come here.

#include "notify/script_launcher.h"
#include "small_file.h"

#include <QCommandLineOption>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <utility>

class QCommandLineParser;

class Delivery : public QObject
{
    Q_OBJECT
public:
    using Channel = ScriptLauncher::Channel;
    using Reason = ScriptLauncher::Reason;

    struct Options {
        QString stateDir; // empty: no spool, retries still run
        std::chrono::milliseconds retryBase{std::chrono::seconds(10)};
        std::chrono::milliseconds retryFor{std::chrono::hours(24)};
        std::chrono::seconds scriptTimeout{ProcessScriptLauncher::kTimeout};
        std::chrono::seconds heartbeat{0}; // 0: off
    };

    // Where the time comes from: the event's time and the file names follow
    // the calendar, the deadline the monotonic clock. Tests set their own.
    struct Clock {
        std::function<QDateTime()> wall = [] { return QDateTime::currentDateTime(); };
        std::function<std::chrono::steady_clock::time_point()> monotonic = [] {
            return std::chrono::steady_clock::now();
        };
    };

    explicit Delivery(ScriptLauncher *launcher, QObject *parent = nullptr);
    ~Delivery() override;

    // --state-dir, --retry-base, --retry-for, --script-timeout, --heartbeat.
    static QList<QCommandLineOption> commandLineOptions();
    static const char *usage();
    // Fills options from a parsed command line; the reason it cannot, or empty.
    static QString fromCommandLine(const QCommandLineParser &parser, const QString &defaultStateDir, Options *options);
    // "90s", "30m", "24h" (or plain seconds); false when it is none of these.
    static bool parseDuration(const QString &text, std::chrono::seconds *duration);
    // The service's spool, and the window's under $XDG_STATE_HOME.
    static QString defaultServiceStateDir();
    static QString defaultUserStateDir();
    // How long after the failed attempt n (1, 2, ...) the next one starts.
    static std::chrono::milliseconds retryDelay(int failedAttempt, std::chrono::milliseconds base);

    // Sets the spool folder (made when missing) and the schedule. Returns why
    // the folder cannot be used, or empty; without it alarms still go out.
    QString setOptions(const Options &options);
    const Options &options() const { return m_options; }
    // The spool could be written when last tried.
    bool durable() const { return m_spool && !m_writes.failing(); }
    void setClock(const Clock &clock) { m_clock = clock; }

    // Starts the channel's script for this reason and sees it delivered.
    // True once its entry is on disk (or no spool was asked for): only then
    // may a state that says "told" be saved.
    bool notify(Channel channel, Reason reason, const ScriptLauncher::Environment &extra = {});
    // Starts again, at once, what the spool holds from an earlier run.
    void resume();
    int pendingCount() const { return int(m_pending.size()); }
    bool isPending(Channel channel, Reason reason) const { return m_pending.count({channel, reason}) != 0; }

Q_SIGNALS:
    void retryScheduled(ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, int attempt,
                        std::chrono::milliseconds after);
    void gaveUp(ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, int attempts);
    // A script that failed (for the heartbeat's count).
    void attemptFailed(ScriptLauncher::Channel channel, ScriptLauncher::Reason reason, int attempt);
    void errorOccurred(int number, const QString &text);
    void warning(const QString &text);
    // The spool is written again after a failure.
    void mended(const QString &text);

private:
    using Key = std::pair<Channel, Reason>;
    struct Entry;

    // True when the entry is on disk.
    bool startAttempt(Entry *entry);
    void scriptFinished(qint64 pid, int exitStatus, int signal);
    void failed(Entry *entry);
    void remove(const Key &key);
    bool write(Entry &entry);
    void writeFailed(const QString &file, const QString &problem);
    void writeWorked();
    // The entry a file holds, or failing that the one its name gives.
    std::unique_ptr<Entry> read(const QString &path);

    ScriptLauncher *m_launcher;
    Options m_options;
    Clock m_clock;
    bool m_spool = false; // a state folder was given
    SmallFile::FailureNotice m_writes;
    std::map<Key, std::unique_ptr<Entry>> m_pending;
};
