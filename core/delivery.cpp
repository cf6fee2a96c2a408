// SPDX-License-Identifier: MIT
#include "delivery.h"

#include "common/error_codes.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <array>

namespace {
using namespace std::chrono_literals;

constexpr int kSpoolFormat = 1;
const QString kSpoolSuffix = QStringLiteral(".json");
const QString kSetAsideSuffix = QStringLiteral(".bad");
// A spool entry is a few hundred bytes; anything much larger is not one.
constexpr qint64 kMaxEntrySize = 64 * 1024;

QString durationText(std::chrono::milliseconds duration)
{
    const qint64 s = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
    if (s % 3600 == 0 && s >= 3600)
        return QStringLiteral("%1h").arg(s / 3600);
    if (s % 60 == 0 && s >= 60)
        return QStringLiteral("%1m").arg(s / 60);
    return QStringLiteral("%1s").arg(s);
}
}

struct Delivery::Entry {
    Channel channel = Channel::Fire;
    Reason reason = Reason::Alarm;
    QDateTime time;                              // of the event, with its UTC offset then
    QDateTime first;                             // first start, for the file's name
    std::chrono::steady_clock::time_point since; // first start in this run
    int attempt = 0;                             // the last one started
    ScriptLauncher::Environment extra;
    QString file;        // in the spool; empty when not written
    QStringList covered; // older entries this one tells too, removed with it
    qint64 pid = 0;
    QTimer *retry = nullptr;

    ~Entry() { delete retry; }

    QByteArray toJson() const
    {
        QJsonObject environment;
        for (const auto &[name, value] : extra)
            environment.insert(name, value);
        return QJsonDocument(QJsonObject{{QStringLiteral("format"), kSpoolFormat},
                                         {QStringLiteral("channel"), ScriptLauncher::channelName(channel)},
                                         {QStringLiteral("reason"), ScriptLauncher::reasonName(reason)},
                                         {QStringLiteral("time"), time.toString(Qt::ISODateWithMs)},
                                         {QStringLiteral("first"), first.toString(Qt::ISODateWithMs)},
                                         {QStringLiteral("attempt"), attempt},
                                         {QStringLiteral("environment"), environment}})
            .toJson();
    }

    // Why the text is no entry this program can resume, or empty.
    QString fromJson(const QByteArray &text)
    {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
        if (!doc.isObject())
            return text.isEmpty() ? QObject::tr("empty")
                                  : QObject::tr("not a spool entry (%1)").arg(error.errorString());
        const QJsonObject o = doc.object();
        if (o.value(QStringLiteral("format")).toInt() != kSpoolFormat)
            return QObject::tr("format %1, this program reads %2")
                .arg(o.value(QStringLiteral("format")).toVariant().toString())
                .arg(kSpoolFormat);
        time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        // "Z" reads back as UTC, which would be told in the zone of the day
        // (+01:00 in London's summer); an offset is told as it was written.
        if (time.timeSpec() == Qt::UTC)
            time = time.toOffsetFromUtc(0);
        first = QDateTime::fromString(o.value(QStringLiteral("first")).toString(), Qt::ISODateWithMs);
        attempt = o.value(QStringLiteral("attempt")).toInt();
        if (!ScriptLauncher::channelFromName(o.value(QStringLiteral("channel")).toString(), &channel)
            || !ScriptLauncher::reasonFromName(o.value(QStringLiteral("reason")).toString(), &reason)
            || reason == Reason::Test || !time.isValid() || !first.isValid() || attempt < 1) {
            return QObject::tr("a field is missing or wrong");
        }
        const QJsonObject environment = o.value(QStringLiteral("environment")).toObject();
        for (auto it = environment.begin(); it != environment.end(); ++it) {
            if (!it.key().startsWith(QLatin1String("PHONE_HOME_")))
                return QObject::tr("a field is missing or wrong");
            extra.append({it.key(), it.value().toString()});
        }
        return QString();
    }

    // "1765185243412-fire-alarm.json": the first start's time, the channel
    // and the reason, which is all a power cut may leave readable.
    bool fromName(const QString &name)
    {
        static const QRegularExpression pattern(QStringLiteral("^(\\d{13})-([a-z]+)-([a-z]+)\\.json$"));
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch() || !ScriptLauncher::channelFromName(match.captured(2), &channel)
            || !ScriptLauncher::reasonFromName(match.captured(3), &reason) || reason == Reason::Test)
            return false;
        first = QDateTime::fromMSecsSinceEpoch(match.captured(1).toLongLong(), Qt::UTC);
        const QDateTime local = first.toLocalTime();
        time = local.toOffsetFromUtc(local.offsetFromUtc());
        attempt = 0;
        extra.clear();
        return true;
    }
};

Delivery::Delivery(ScriptLauncher *launcher, QObject *parent)
    : QObject(parent)
    , m_launcher(launcher)
{
    connect(launcher, &ScriptLauncher::finished, this,
            [this](ScriptLauncher::Channel, qint64 pid, int exitStatus, int signal) {
                scriptFinished(pid, exitStatus, signal);
            });
}

Delivery::~Delivery() = default;

QList<QCommandLineOption> Delivery::commandLineOptions()
{
    return {QCommandLineOption(QStringLiteral("state-dir"), QString(), QStringLiteral("DIR")),
            QCommandLineOption(QStringLiteral("retry-base"), QString(), QStringLiteral("SECONDS")),
            QCommandLineOption(QStringLiteral("retry-for"), QString(), QStringLiteral("DURATION")),
            QCommandLineOption(QStringLiteral("script-timeout"), QString(), QStringLiteral("SECONDS")),
            QCommandLineOption(QStringLiteral("heartbeat"), QString(), QStringLiteral("DURATION"))};
}

const char *Delivery::usage()
{
    return "  --state-dir DIR   pending notifications survive a restart here\n"
           "  --retry-base SECONDS   a failed script runs again after 1, 3, 6, 12, 30, 60 times\n"
           "                    this, then every 60 times (default 10)\n"
           "  --retry-for DURATION   and gives up after this (90s, 30m, 24h; default 24h)\n"
           "  --script-timeout SECONDS   a script still running then is stopped (default 300)\n"
           "  --heartbeat DURATION   run Heartbeat.sh this often (default off)\n";
}

bool Delivery::parseDuration(const QString &text, std::chrono::seconds *duration)
{
    static const std::array<std::pair<QChar, qint64>, 4> units{{{u's', 1}, {u'm', 60}, {u'h', 3600}, {u'd', 86400}}};
    QString number = text.trimmed();
    qint64 factor = 1;
    for (const auto &[unit, seconds] : units) {
        if (number.endsWith(unit)) {
            number.chop(1);
            factor = seconds;
            break;
        }
    }
    bool ok = false;
    const qint64 value = number.toLongLong(&ok);
    // Digits only: no sign, no blanks, and at most ten years.
    if (!ok || number.isEmpty() || !std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); })
        || value > 10 * 365 * 86400 / factor)
        return false;
    *duration = std::chrono::seconds(value * factor);
    return true;
}

QString Delivery::fromCommandLine(const QCommandLineParser &parser, const QString &defaultStateDir, Options *options)
{
    options->stateDir =
        parser.isSet(QStringLiteral("state-dir")) ? parser.value(QStringLiteral("state-dir")) : defaultStateDir;
    if (parser.isSet(QStringLiteral("state-dir")) && options->stateDir.isEmpty())
        return QStringLiteral("bad --state-dir: give a folder");
    std::chrono::seconds retryBase{}, retryFor{};
    const struct {
        const char *name;
        std::chrono::seconds *value;
        bool plainSeconds;
        bool mayBeZero;
    } durations[] = {{"retry-base", &retryBase, true, false},
                     {"retry-for", &retryFor, false, false},
                     {"script-timeout", &options->scriptTimeout, true, true},
                     {"heartbeat", &options->heartbeat, false, false}};
    for (const auto &d : durations) {
        const QString name = QLatin1String(d.name);
        if (!parser.isSet(name))
            continue;
        const QString text = parser.value(name);
        std::chrono::seconds value{};
        const bool digits =
            !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
        if ((d.plainSeconds && !digits) || !parseDuration(text, &value) || (!d.mayBeZero && value.count() == 0)) {
            return d.plainSeconds
                ? QStringLiteral("bad --%1 \"%2\": give whole seconds%3")
                      .arg(name, text, d.mayBeZero ? QString() : QStringLiteral(", 1 or more"))
                : QStringLiteral("bad --%1 \"%2\": give a duration such as 90s, 30m or 24h").arg(name, text);
        }
        *d.value = value;
    }
    if (retryBase.count())
        options->retryBase = retryBase;
    if (retryFor.count())
        options->retryFor = retryFor;
    return QString();
}

QString Delivery::defaultServiceStateDir()
{
    return QStringLiteral("/var/lib/rs232-phone-home");
}

QString Delivery::defaultUserStateDir()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/rs232-phone-home");
}

std::chrono::milliseconds Delivery::retryDelay(int failedAttempt, std::chrono::milliseconds base)
{
    static constexpr std::array<int, 6> kFactors{1, 3, 6, 12, 30, 60};
    const int index = std::clamp(failedAttempt, 1, int(kFactors.size())) - 1;
    return base * kFactors[size_t(index)];
}

QString Delivery::setOptions(const Options &options)
{
    m_options = options;
    m_spool = !options.stateDir.isEmpty();
    m_writes = {};
    m_launcher->setStateDir(options.stateDir);
    if (auto *process = qobject_cast<ProcessScriptLauncher *>(m_launcher))
        process->setTimeout(options.scriptTimeout);
    if (!m_spool)
        return QString();
    const QString dir = options.stateDir;
    // A folder that fails now may work later (a disk with room again): every
    // entry is tried, and the first that is written says so.
    if (!QDir().mkpath(dir)) {
        m_writes.failed();
        return tr("Pending notifications cannot be kept across a restart: the state folder %1 cannot be made. "
                  "Alarms still go out. Make it and give it to this program's user, or name another with "
                  "--state-dir.")
            .arg(dir);
    }
    // Only a file written and removed proves the folder takes the spool.
    const QString probe = QDir(dir).filePath(QStringLiteral(".probe"));
    QString problem = SmallFile::write(probe, "x");
    if (problem.isEmpty())
        problem = SmallFile::remove(probe);
    if (!problem.isEmpty()) {
        m_writes.failed();
        return tr("Pending notifications cannot be kept across a restart: the state folder %1 cannot be "
                  "written (%2). Alarms still go out. Free space on its disk or give the folder to this program's "
                  "user, or name another with --state-dir.")
            .arg(dir, problem);
    }
    return QString();
}

bool Delivery::notify(Channel channel, Reason reason, const ScriptLauncher::Environment &extra)
{
    const Key key{channel, reason};
    Entry *entry = nullptr;
    if (const auto it = m_pending.find(key); it != m_pending.end()) {
        entry = it->second.get();
        if (entry->pid == 0)
            return entry->file.isEmpty() ? !m_spool : true; // a retry is due: it tells this onset too
        // Its script still runs for an earlier onset: this one is a new event,
        // told at once as ever, and the one pending from now on.
        entry->attempt = 0;
        entry->pid = 0;
    } else {
        auto made = std::make_unique<Entry>();
        made->channel = channel;
        made->reason = reason;
        entry = made.get();
        m_pending.emplace(key, std::move(made));
    }
    // The offset of the moment is kept: a retry after a change of summer
    // time tells the same time in the same words.
    const QDateTime now = m_clock.wall();
    entry->time = now.toOffsetFromUtc(now.offsetFromUtc());
    entry->first = now.toUTC();
    entry->since = m_clock.monotonic();
    entry->extra = extra;
    const bool written = startAttempt(entry);
    return written || !m_spool;
}

std::unique_ptr<Delivery::Entry> Delivery::read(const QString &path)
{
    auto entry = std::make_unique<Entry>();
    const SmallFile::Contents file = SmallFile::read(path, kMaxEntrySize);
    QString problem = file.problem;
    if (problem.isEmpty())
        problem = entry->fromJson(file.data);
    if (problem.isEmpty())
        return entry;
    // A power cut leaves an empty or cut-short file only where the disk
    // broke its promise, or where an older version wrote it; its name still
    // says what it tells.
    const QString name = QFileInfo(path).fileName();
    entry = std::make_unique<Entry>();
    if (entry->fromName(name)) {
        Q_EMIT warning(tr("The pending notification %1 cannot be read (%2): it is told again as the %3 %4 "
                          "notification, from its name.")
                           .arg(path, problem, ScriptLauncher::channelName(entry->channel),
                                ScriptLauncher::reasonName(entry->reason)));
        return entry;
    }
    const QString aside = path + kSetAsideSuffix;
    QFile::remove(aside);
    const bool moved = QFile::rename(path, aside) && SmallFile::syncFolder(m_options.stateDir).isEmpty();
    Q_EMIT warning(moved ? tr("The pending notification %1 cannot be resumed (%2), and its name says nothing this "
                              "program can tell: it was set aside as %3.")
                               .arg(path, problem, aside)
                         : tr("The pending notification %1 cannot be resumed (%2), nor set aside: remove it by hand.")
                               .arg(path, problem));
    return nullptr;
}

void Delivery::resume()
{
    if (!m_spool)
        return;
    QDir dir(m_options.stateDir);
    // Left by a crash halfway through a write; the entry it replaced is whole.
    for (const QString &name :
         dir.entryList({QStringLiteral("*") + kSpoolSuffix + SmallFile::kPartSuffix}, QDir::Files))
        dir.remove(name);
    // Named by the first start's time: oldest first.
    const QStringList names =
        dir.entryList({QStringLiteral("*") + kSpoolSuffix}, QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    const auto now = m_clock.monotonic();
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        // Written by this run already (a device lost at start).
        if (std::any_of(m_pending.begin(), m_pending.end(),
                        [&path](const auto &pending) { return pending.second->file == path; }))
            continue;
        std::unique_ptr<Entry> entry = read(path);
        if (!entry)
            continue;
        const Key key{entry->channel, entry->reason};
        // One pending per channel and reason: the one already under way
        // tells this too (as a new onset would be), and takes its file.
        if (const auto it = m_pending.find(key); it != m_pending.end()) {
            it->second->covered.append(path);
            continue;
        }
        entry->file = path;
        // The wait before giving up starts afresh: the calendar may have
        // jumped while the machine was off, and an entry older than
        // retryFor is still tried.
        entry->since = now;
        Entry *e = entry.get();
        m_pending.emplace(key, std::move(entry));
        startAttempt(e);
    }
}

bool Delivery::startAttempt(Entry *entry)
{
    ++entry->attempt;
    // On disk before the script starts, so that a crash or a power cut from
    // here on resumes it.
    const bool written = write(*entry);
    const Key key{entry->channel, entry->reason};
    qint64 pid = 0;
    const bool started = reportRefusal(
        [&] {
            pid = m_launcher->start(entry->channel, entry->reason, {entry->attempt, entry->time, entry->extra});
        },
        [this](int number, const QString &text) { Q_EMIT errorOccurred(number, text); });
    if (!started) {
        failed(entry);
        return written;
    }
    if (pid == 0) {
        remove(key); // started and not watched: nothing more to know
        return written;
    }
    entry->pid = pid;
    return written;
}
void Delivery::scriptFinished(qint64 pid, int exitStatus, int signal)
{
    const auto it = std::find_if(m_pending.begin(), m_pending.end(),
                                 [pid](const auto &pending) { return pending.second->pid == pid; });
    if (it == m_pending.end())
        return; // a test run, or not ours
    Entry *entry = it->second.get();
    entry->pid = 0;
    if (exitStatus == 0 && signal == 0)
        remove(it->first);
    else
        failed(entry);
}

void Delivery::failed(Entry *entry)
{
    Q_EMIT attemptFailed(entry->channel, entry->reason, entry->attempt);
    const auto now = m_clock.monotonic();
    const auto deadline = entry->since + m_options.retryFor;
    if (now >= deadline) {
        const Key key{entry->channel, entry->reason};
        const int attempts = entry->attempt;
        const QString text =
            tr("Gave up sending the %1 notification (%2 at %3) after %n attempt(s) over %4: the script kept "
               "failing. The message has not been delivered. Fix the script (run it by hand: "
               "PHONE_HOME_REASON=test sh %5), then press the test button.",
               nullptr, attempts)
                .arg(ScriptLauncher::channelName(entry->channel), ScriptLauncher::reasonName(entry->reason),
                     ScriptLauncher::timeText(entry->time), durationText(m_options.retryFor),
                     ProcessScriptLauncher::scriptFileName(entry->channel));
        remove(key);
        Q_EMIT gaveUp(key.first, key.second, attempts);
        Q_EMIT errorOccurred(int(ErrorCode::ScriptGaveUp), text);
        return;
    }
    // The last try comes at the deadline rather than not at all.
    const std::chrono::milliseconds wait = std::min(retryDelay(entry->attempt, m_options.retryBase),
                                                    std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    if (!entry->retry) {
        entry->retry = new QTimer;
        entry->retry->setSingleShot(true);
        // A coarse timer may fire 5 % early; a retry is told as "in 3s".
        entry->retry->setTimerType(Qt::PreciseTimer);
        connect(entry->retry, &QTimer::timeout, this, [this, entry] { startAttempt(entry); });
    }
    entry->retry->start(wait);
    Q_EMIT retryScheduled(entry->channel, entry->reason, entry->attempt + 1, wait);
}

void Delivery::remove(const Key &key)
{
    const auto it = m_pending.find(key);
    if (it == m_pending.end())
        return;
    QStringList files = it->second->covered;
    if (!it->second->file.isEmpty())
        files.append(it->second->file);
    for (const QString &file : std::as_const(files)) {
        // Left behind, it would be told again at the next start: a
        // duplicate, never a loss, so it is worth a word but no more.
        if (const QString problem = SmallFile::remove(file); !problem.isEmpty())
            writeFailed(file, problem);
    }
    // The entry's timer may be the one calling: let it go later.
    if (it->second->retry) {
        it->second->retry->stop();
        it->second->retry->deleteLater();
        it->second->retry = nullptr;
    }
    m_pending.erase(it);
}

bool Delivery::write(Entry &entry)
{
    if (!m_spool)
        return false;
    const QString file = entry.file.isEmpty()
        // Ordered by the first start; channel and reason make it unique.
        ? QDir(m_options.stateDir)
              .filePath(QStringLiteral("%1-%2-%3%4")
                            .arg(entry.first.toMSecsSinceEpoch(), 13, 10, QLatin1Char('0'))
                            .arg(ScriptLauncher::channelName(entry.channel), ScriptLauncher::reasonName(entry.reason),
                                 kSpoolSuffix))
        : entry.file;
    if (const QString problem = SmallFile::write(file, entry.toJson()); !problem.isEmpty()) {
        // An older entry stays as it was, and is still removed on success;
        // a restart would tell it again.
        writeFailed(file, problem);
        return false;
    }
    entry.file = file;
    writeWorked();
    return true;
}

void Delivery::writeFailed(const QString &file, const QString &problem)
{
    if (!m_writes.failed())
        return;
    Q_EMIT warning(tr("Pending notifications cannot be written to the state folder %1 (%2 on %3): they are still "
                      "sent and retried, but a restart would not know them. Free space on its disk or make it "
                      "writable; this is told again only once it works.")
                       .arg(m_options.stateDir, problem, QFileInfo(file).fileName()));
}

void Delivery::writeWorked()
{
    if (m_writes.succeeded())
        Q_EMIT mended(tr("Pending notifications are written to the state folder %1 again.").arg(m_options.stateDir));
}
