// SPDX-License-Identifier: MIT
#pragma once

// The record of everything: one line per event on stderr, in both programs.
//
//     2026-12-08T09:14:03.412+01:00 port=3 device=/dev/com3 event=alarm channel=fire line=CTS
//
// Time (ISO 8601, milliseconds, UTC offset), the port as given and its
// device, then `event=NAME` and the event's own fields as key=value, values
// with blanks or quotes in double quotes. Under systemd (JOURNAL_STREAM set)
// each line starts with its syslog priority (<4> and so on), so
// `journalctl -p warning` picks out alarms and failures. The running-unattended
// guide lists the events; keep their names and fields stable, scripts grep for them.

#include "serial/serial_port.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <cstdio>

class Arming;
class Panel;
class ScriptLauncher;

class EventLog : public QObject
{
    Q_OBJECT
public:
    // syslog's numbers. journald writes crit and above to disk at once, the
    // rest every few minutes: an alarm's record is crit, so a power cut just
    // after it does not take the record with it.
    enum class Priority { Critical = 2, Error = 3, Warning = 4, Notice = 5, Info = 6 };
    using Fields = QList<QPair<QString, QString>>;

    explicit EventLog(std::FILE *out = stderr, QObject *parent = nullptr);

    void setPort(const QString &port, const QString &device);
    void setJournal(bool journal) { m_journal = journal; }

    void record(Priority priority, const QString &event, const Fields &fields = {});

    // Logs what the panel does: port opened and closed, every line's change,
    // outputs written, each channel's ALARM and NORMAL, every script started
    // and how it ended, every error and warning.
    void watch(Panel *panel);
    // The alarm panel's state (event=panel state=… by=…), its lockouts and
    // what it could not keep.
    void watch(Arming *arming);

    // Which scripts are present and would run, as a warning where one is
    // missing or refused: known at start, not only at the first alarm.
    void checkScripts(ScriptLauncher *launcher);

    static QString line(const QDateTime &time, const QString &port, const QString &device, const QString &event,
                        const Fields &fields);
    static QString quoted(const QString &value);

Q_SIGNALS:
    // Every event, for whoever passes them on (MQTT).
    void recorded(const QDateTime &time, EventLog::Priority priority, const QString &event,
                  const EventLog::Fields &fields);

private:
    std::FILE *m_out;
    bool m_journal;
    QString m_port;
    QString m_device;
    LineState m_lines;
    bool m_linesKnown = false;
};
