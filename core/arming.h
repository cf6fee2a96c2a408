// SPDX-License-Identifier: MIT
#pragma once

// The panel's arming: disarmed, arming (the exit delay runs), armed_away,
// pending (the entry delay runs), triggered.
//
// Each channel is either always armed (24-hour: fire and flood unless told
// otherwise), whose onset is told at once in every state and moves no state,
// or follows the arming. A following channel's onset counts only when armed:
// in armed_away it starts the entry delay (pending); a disarm within it ends
// the matter with nothing sent, otherwise the panel is triggered and the
// script of every channel that joined runs once (notify()); an onset while
// triggered is told at once. Triggered returns to armed_away when every
// channel that joined reads NORMAL again. The caller feeds the channels'
// levels (input()) and runs the scripts; this class decides.
//
// Arming needs no code; disarming needs the panel's code (PanelCode), and a
// lockout after wrong codes refuses every command. Every change of state is
// told with what caused it, and kept in the state folder so that a restart
// comes back armed rather than silently disarmed. The order of writes is the
// promise: a state that says an alarm was told is saved only after the
// entries that tell it are on disk, and a state that cannot be saved never
// leaves an older, less safe one behind.

#include "constants.h"
#include "small_file.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <chrono>

class PanelCode;

class Arming : public QObject
{
    Q_OBJECT
public:
    enum class State { Disarmed, Arming, ArmedAway, Pending, Triggered };
    Q_ENUM(State)
    // What made a change: the start of the program, a command over MQTT or
    // the local control, a delay running out, or a channel's line.
    enum class By { Start, Mqtt, Local, Timer, Line };
    Q_ENUM(By)
    enum class Result { Accepted, WrongCode, LockedOut, CodeRequired, NoCodeFile, NotSaved };
    Q_ENUM(Result)
    using Channels = std::array<bool, Form::kChannels>;

    // Where the state is kept, in the state folder.
    static const QString kFileName;

    // "disarmed", "arming", "armed_away", "pending", "triggered".
    static QString stateName(State state);
    static bool stateFromName(const QString &name, State *state);
    // "start", "mqtt", "local", "timer", "line".
    static QString byName(By by);
    // "accepted", "wrong-code", "locked-out", "code-required", "no-code-file",
    // "not-saved".
    static QString resultName(Result result);
    static Channels defaultAlwaysArmed() { return {true, true, false}; }
    // --always-armed: a comma list of channel names (empty: none). Why it is
    // wrong, for a usage error, or empty.
    static QString alwaysArmedProblem(const QString &value, Channels *channels);

    explicit Arming(QObject *parent = nullptr);

    void setAlwaysArmed(const Channels &channels) { m_alwaysArmed = channels; }
    bool alwaysArmed(int channel) const { return m_alwaysArmed[size_t(channel)]; }
    void setDelays(std::chrono::milliseconds exit, std::chrono::milliseconds entry);
    PanelCode *code() const { return m_code; }

    // Restores the state and the count of wrong codes from the state folder
    // (empty: nothing kept) and tells the state (by start). No saved state,
    // or one that cannot be read, is armed_away. A saved arming or pending
    // starts its delay again in full; pending keeps its channels and still
    // triggers; triggered stays, its scripts not run again. Returns warnings
    // about what could not be read; a failure to write comes as warning().
    QStringList start(const QString &stateDir);
    State state() const { return m_state; }
    // The channels whose onset made the present pending or triggered state.
    Channels triggeredBy() const { return m_trigger; }

    // A code given with arm is not asked for, so none is taken. Refused
    // (NotSaved) only where the state folder takes neither the new state nor
    // the removal of the old one, which a restart would bring back disarmed.
    Result arm(By by);
    Result disarm(const QString &code, By by);
    // A channel's level (true: ALARM); the same level twice is no new onset.
    void input(int channel, bool alarm);
    // Called from a notify() handler whose alarm is not on disk: the state
    // that would say it was told is not saved, so a restart tells it again.
    void notDurable() { m_notDurable = true; }

Q_SIGNALS:
    void stateChanged(Arming::State state, Arming::By by);
    // Run this channel's alarm script.
    void notify(int channel);
    void warning(const QString &text);
    // The state is written again after a failure.
    void mended(const QString &text);

private:
    void setState(State state, By by, bool save = true);
    void startExitDelay(By by);
    void armed(By by);
    void onset(int channel, By by);
    void trigger(By by);
    void backToArmedWhenClear();
    // Tells the channel's alarm; false where it is not on disk.
    bool tell(int channel);
    // True when the file holds this state, or no file is left to contradict it.
    bool save();
    bool write(State state, const Channels &channels);

    PanelCode *m_code;
    Channels m_alwaysArmed = defaultAlwaysArmed();
    std::chrono::milliseconds m_exitDelay{0};
    std::chrono::milliseconds m_entryDelay{0};
    QTimer m_exit;
    QTimer m_entry;
    State m_state = State::ArmedAway;
    bool m_told = false; // the state has been told once (at start)
    Channels m_trigger{};
    Channels m_alarm{};
    QString m_file;
    bool m_notDurable = false;
    SmallFile::FailureNotice m_writes;
};
