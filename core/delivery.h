// SPDX-License-Identifier: MIT
#pragma once

// Notifications that are told until they are delivered.
//
// An alarm (also clear, lost, restored, heartbeat) is written to the spool,
// a folder of one small file per pending notification, before its script
// first starts, and flushed to disk just after. A script that fails (non-zero exit,
// signal, stopped at its timeout, or refused) is started again after
// base x 1, 3, 6, 12, 30, 60 and then every base x 60, with the event's own
// time and the next attempt number, until it succeeds or retryFor has passed
// since the first start. Success or giving up removes the file. At start the
// spool is resumed: every entry is started again at once. So a crash or a
// power cut once the script has started loses nothing; at worst a message
// goes out twice.
//
// One pending notification per channel and reason: a new onset while a
// retry is due is told by that retry; one while the script still runs starts
// it again at once and takes the earlier one's place. Test-button runs do
// not come here.

#include "notify/script_launcher.h"

#include <QCommandLineOption>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
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
    bool durable() const { return m_durable; }

    // Starts the channel's script for this reason and sees it delivered.
    void notify(Channel channel, Reason reason, const ScriptLauncher::Environment &extra = {});
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

private:
    using Key = std::pair<Channel, Reason>;
    struct Entry;

    void startAttempt(Entry *entry);
    void scriptFinished(qint64 pid, int exitStatus, int signal);
    void failed(Entry *entry);
    void remove(const Key &key);
    bool write(Entry &entry);
    // Flushes the entries written since the last flush, and the folder.
    void flush();
    void syncFolder();

    ScriptLauncher *m_launcher;
    Options m_options;
    bool m_durable = false;
    std::map<Key, std::unique_ptr<Entry>> m_pending;
    QStringList m_unflushed;
    QTimer m_flush;
};
