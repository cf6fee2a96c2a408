// SPDX-License-Identifier: MIT
#include "arming.h"

#include "panel_code.h"
#include "small_file.h"
#include "notify/script_launcher.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {
constexpr int kFormat = 1;
constexpr qsizetype kStateFileMax = 4096;

const std::array<QLatin1StringView, 5> kStateNames{QLatin1StringView("disarmed"), QLatin1StringView("arming"),
                                                   QLatin1StringView("armed_away"), QLatin1StringView("pending"),
                                                   QLatin1StringView("triggered")};

bool channelFromName(const QString &name, int *channel)
{
    ScriptLauncher::Channel c{};
    if (!ScriptLauncher::channelFromName(name, &c) || int(c) >= Form::kChannels)
        return false;
    *channel = int(c);
    return true;
}

bool anyOf(const Arming::Channels &channels)
{
    return std::any_of(channels.begin(), channels.end(), [](bool on) { return on; });
}
}

const QString Arming::kFileName = QStringLiteral("arming.state");

QString Arming::stateName(State state)
{
    return kStateNames[size_t(state)];
}

bool Arming::stateFromName(const QString &name, State *state)
{
    const auto it = std::find(kStateNames.begin(), kStateNames.end(), name);
    if (it == kStateNames.end())
        return false;
    *state = State(it - kStateNames.begin());
    return true;
}

QString Arming::byName(By by)
{
    static const std::array<QLatin1StringView, 5> names{QLatin1StringView("start"), QLatin1StringView("mqtt"),
                                                        QLatin1StringView("local"), QLatin1StringView("timer"),
                                                        QLatin1StringView("line")};
    return names[size_t(by)];
}

QString Arming::resultName(Result result)
{
    static const std::array<QLatin1StringView, 6> names{
        QLatin1StringView("accepted"),      QLatin1StringView("wrong-code"),   QLatin1StringView("locked-out"),
        QLatin1StringView("code-required"), QLatin1StringView("no-code-file"), QLatin1StringView("not-saved")};
    return names[size_t(result)];
}

QString Arming::alwaysArmedProblem(const QString &value, Channels *channels)
{
    Channels result{};
    // Nothing at all: every channel follows the arming.
    if (!value.trimmed().isEmpty()) {
        for (const QString &name : value.split(QLatin1Char(','))) {
            int channel = 0;
            if (!channelFromName(name.trimmed(), &channel))
                return tr("bad --always-armed channel \"%1\": give a comma list of fire, flood and intrusion")
                    .arg(name.trimmed());
            result[size_t(channel)] = true;
        }
    }
    *channels = result;
    return QString();
}

Arming::Arming(QObject *parent)
    : QObject(parent)
    , m_code(new PanelCode(this))
{
    for (QTimer *timer : {&m_exit, &m_entry}) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    connect(&m_exit, &QTimer::timeout, this, [this] { armed(By::Timer); });
    connect(&m_entry, &QTimer::timeout, this, [this] { trigger(By::Timer); });
}

void Arming::setDelays(std::chrono::milliseconds exit, std::chrono::milliseconds entry)
{
    m_exitDelay = exit;
    m_entryDelay = entry;
}

QStringList Arming::start(const QString &stateDir)
{
    QStringList warnings;
    if (const QString problem = m_code->restore(stateDir); !problem.isEmpty())
        warnings.append(problem);
    m_file = stateDir.isEmpty() ? QString() : QDir(stateDir).filePath(kFileName);
    // A first start, or one whose state is lost, is armed: never silently disarmed.
    State state = State::ArmedAway;
    Channels joined{};
    const SmallFile::Contents file =
        m_file.isEmpty() ? SmallFile::Contents{{}, {}, true, 0} : SmallFile::read(m_file, kStateFileMax);
    if (!file.missing) {
        QString problem = file.problem;
        const QJsonObject o = QJsonDocument::fromJson(file.data).object();
        if (problem.isEmpty()
            && (o.value(QStringLiteral("format")).toInt() != kFormat
                || !stateFromName(o.value(QStringLiteral("state")).toString(), &state)))
            problem = tr("not a state this program wrote");
        for (const QJsonValue &name : o.value(QStringLiteral("channels")).toArray()) {
            int channel = 0;
            if (!channelFromName(name.toString(), &channel))
                problem = tr("not a state this program wrote");
            else
                joined[size_t(channel)] = true;
        }
        if (problem.isEmpty() && (state == State::Pending || state == State::Triggered) && !anyOf(joined))
            problem = tr("%1 without a channel").arg(stateName(state));
        if (!problem.isEmpty()) {
            warnings.append(tr("The panel's saved state %1 cannot be read (%2); the panel starts armed_away.")
                                .arg(m_file, problem));
            state = State::ArmedAway;
            joined = {};
        }
    }
    // The delays start again in full: the restart may have come just as
    // someone left or came in, and they still get their time. A pending
    // alarm is not lost: unless disarmed, it triggers when the delay ends.
    // A triggered panel stays so, without running its scripts again (the
    // spool resends any not yet delivered), until its channels read NORMAL;
    // until then they count as in alarm, so the next reading is no new onset.
    m_trigger = joined;
    for (int c = 0; c < Form::kChannels; ++c)
        m_alarm[size_t(c)] = joined[size_t(c)];
    switch (state) {
    case State::Arming:
        startExitDelay(By::Start);
        break;
    case State::Pending:
        // Even with no entry delay now, it triggers from the event loop:
        // whoever tells the alarm listens only once start() has returned.
        setState(State::Pending, By::Start);
        m_entry.start(m_entryDelay);
        break;
    default:
        setState(state, By::Start);
    }
    return warnings;
}

Arming::Result Arming::arm(By by)
{
    if (m_code->isLockedOut())
        return Result::LockedOut;
    // Already armed or on the way: a repeated command changes nothing.
    if (m_state != State::Disarmed)
        return Result::Accepted;
    // Saved before it is answered: an arm answered as done is never undone
    // by a restart.
    if (!write(m_exitDelay.count() > 0 ? State::Arming : State::ArmedAway, {}))
        return Result::NotSaved;
    startExitDelay(by);
    return Result::Accepted;
}

Arming::Result Arming::disarm(const QString &code, By by)
{
    switch (m_code->check(code)) {
    case PanelCode::Verdict::Right:
        break;
    case PanelCode::Verdict::Wrong:
        return Result::WrongCode;
    case PanelCode::Verdict::LockedOut:
        return Result::LockedOut;
    case PanelCode::Verdict::Missing:
        return Result::CodeRequired;
    case PanelCode::Verdict::NotSet:
        return Result::NoCodeFile;
    }
    m_exit.stop();
    m_entry.stop();
    setState(State::Disarmed, by);
    return Result::Accepted;
}

void Arming::input(int channel, bool alarm)
{
    if (channel < 0 || channel >= Form::kChannels)
        return;
    const bool isOnset = alarm && !m_alarm[size_t(channel)];
    m_alarm[size_t(channel)] = alarm;
    if (isOnset && m_alwaysArmed[size_t(channel)])
        Q_EMIT notify(channel);
    else if (isOnset)
        onset(channel, By::Line);
    else if (!alarm && m_state == State::Triggered)
        backToArmedWhenClear();
}

void Arming::setState(State state, By by, bool save)
{
    if (m_told && state == m_state)
        return;
    m_told = true;
    m_state = state;
    if (state != State::Pending && state != State::Triggered)
        m_trigger = {};
    if (save)
        this->save();
    Q_EMIT stateChanged(state, by);
}

void Arming::startExitDelay(By by)
{
    if (m_exitDelay.count() > 0) {
        setState(State::Arming, by);
        m_exit.start(m_exitDelay);
    } else {
        armed(by);
    }
}

void Arming::armed(By by)
{
    m_exit.stop();
    setState(State::ArmedAway, by);
    // A channel still in alarm as the panel arms (a door left open) is an
    // onset now: it would otherwise go unnoticed until it closed and opened.
    for (int c = 0; c < Form::kChannels; ++c) {
        if (!m_alwaysArmed[size_t(c)] && m_alarm[size_t(c)])
            onset(c, By::Line);
    }
}

void Arming::onset(int channel, By by)
{
    switch (m_state) {
    case State::Disarmed:
    case State::Arming:
        return;
    case State::ArmedAway:
        m_trigger = {};
        m_trigger[size_t(channel)] = true;
        if (m_entryDelay.count() > 0) {
            setState(State::Pending, by);
            m_entry.start(m_entryDelay);
        } else {
            trigger(by);
        }
        return;
    case State::Pending:
        // Joins the alarm under way; told once, when the delay ends.
        if (!m_trigger[size_t(channel)]) {
            m_trigger[size_t(channel)] = true;
            save();
        }
        return;
    case State::Triggered:
        // The alarm is known already: no second delay. Saved as joined only
        // once its entry is on disk: a power cut before leaves it unjoined,
        // and the restart sees its line as a new onset.
        m_trigger[size_t(channel)] = true;
        if (tell(channel))
            save();
        return;
    }
}

void Arming::trigger(By by)
{
    m_entry.stop();
    // Triggered is saved after the entries that tell it are on disk: cut
    // before, the restart finds pending (or armed_away) and tells it again;
    // saved first, it would find triggered and tell nothing.
    setState(State::Triggered, by, false);
    bool durable = true;
    for (int c = 0; c < Form::kChannels; ++c) {
        if (m_trigger[size_t(c)])
            durable = tell(c) && durable;
    }
    if (durable)
        save();
    // A door opened and closed again within the entry delay is told, and
    // the panel is armed again at once.
    backToArmedWhenClear();
}

void Arming::backToArmedWhenClear()
{
    for (int c = 0; c < Form::kChannels; ++c) {
        if (m_trigger[size_t(c)] && m_alarm[size_t(c)])
            return;
    }
    setState(State::ArmedAway, By::Line);
}

bool Arming::tell(int channel)
{
    m_notDurable = false;
    Q_EMIT notify(channel);
    return !std::exchange(m_notDurable, false);
}

bool Arming::save()
{
    return write(m_state, m_trigger);
}

bool Arming::write(State state, const Channels &trigger)
{
    if (m_file.isEmpty())
        return true;
    QJsonArray channels;
    for (int c = 0; c < Form::kChannels; ++c) {
        if (trigger[size_t(c)])
            channels.append(ScriptLauncher::channelName(ScriptLauncher::Channel(c)));
    }
    const QJsonObject o{{QStringLiteral("format"), kFormat},
                        {QStringLiteral("state"), stateName(state)},
                        {QStringLiteral("channels"), channels}};
    const QString problem = SmallFile::write(m_file, QJsonDocument(o).toJson(QJsonDocument::Compact));
    if (problem.isEmpty()) {
        if (m_writes.succeeded())
            Q_EMIT mended(tr("The panel's state is written to %1 again.").arg(m_file));
        return true;
    }
    // The old state may be less safe than this one (disarmed, where this is
    // armed): without it, a restart comes back armed_away, the safest.
    const QString removal = SmallFile::remove(m_file);
    if (m_writes.failed()) {
        Q_EMIT warning(removal.isEmpty()
                           ? tr("The panel's state cannot be written to %1 (%2): the old one was removed, so a "
                                "restart comes back armed_away. Free space on its disk or make it writable.")
                                 .arg(m_file, problem)
                           : tr("The panel's state cannot be written to %1 (%2), nor the old one removed (%3): a "
                                "restart would find an older state, so arming is refused until it can be saved. "
                                "Free space on its disk or make it writable.")
                                 .arg(m_file, problem, removal));
    }
    return removal.isEmpty();
}
