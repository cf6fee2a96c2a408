// SPDX-License-Identifier: MIT
#include "delivery.h"

#include "common/error_codes.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimer>

#include <algorithm>
#include <array>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#endif

namespace {
using namespace std::chrono_literals;

constexpr int kSpoolFormat = 1;
const QString kSpoolSuffix = QStringLiteral(".json");
const QString kSetAsideSuffix = QStringLiteral(".bad");
// An entry being written, renamed over its name once complete.
const QString kPartSuffix = QStringLiteral(".part");
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
    QDateTime time;  // of the event
    QDateTime first; // first start
    int attempt = 0; // the last one started
    ScriptLauncher::Environment extra;
    QString file; // in the spool; empty when not written
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
            return QObject::tr("not a spool entry (%1)").arg(error.errorString());
        const QJsonObject o = doc.object();
        if (o.value(QStringLiteral("format")).toInt() != kSpoolFormat)
            return QObject::tr("format %1, this program reads %2")
                .arg(o.value(QStringLiteral("format")).toVariant().toString())
                .arg(kSpoolFormat);
        time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
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
};

Delivery::Delivery(ScriptLauncher *launcher, QObject *parent)
    : QObject(parent)
    , m_launcher(launcher)
{
    connect(launcher, &ScriptLauncher::finished, this,
            [this](ScriptLauncher::Channel, qint64 pid, int exitStatus, int signal) {
                scriptFinished(pid, exitStatus, signal);
            });
    m_flush.setSingleShot(true);
    m_flush.setInterval(0);
    connect(&m_flush, &QTimer::timeout, this, &Delivery::flush);
}

Delivery::~Delivery()
{
    flush();
}

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
    m_durable = false;
    m_launcher->setStateDir(options.stateDir);
    if (auto *process = qobject_cast<ProcessScriptLauncher *>(m_launcher))
        process->setTimeout(options.scriptTimeout);
    if (options.stateDir.isEmpty())
        return QString();
    const QString dir = options.stateDir;
    if (!QDir().mkpath(dir)) {
        return tr("Pending notifications cannot be kept across a restart: the state folder %1 cannot be made. "
                  "Alarms still go out. Make it and give it to this program's user, or name another with "
                  "--state-dir.")
            .arg(dir);
    }
    // Only a file written and removed proves the folder takes the spool.
    QSaveFile probe(QDir(dir).filePath(QStringLiteral(".probe")));
    if (!probe.open(QIODevice::WriteOnly) || probe.write("x") != 1 || !probe.commit()
        || !QFile::remove(probe.fileName())) {
        return tr("Pending notifications cannot be kept across a restart: the state folder %1 cannot be "
                  "written (%2). Alarms still go out. Give the folder to this program's user, or name another "
                  "with --state-dir.")
            .arg(dir, probe.errorString());
    }
    m_durable = true;
    return QString();
}

void Delivery::notify(Channel channel, Reason reason, const ScriptLauncher::Environment &extra)
{
    const Key key{channel, reason};
    if (const auto it = m_pending.find(key); it != m_pending.end()) {
        Entry *pending = it->second.get();
        if (pending->pid == 0)
            return; // a retry is due: it tells this onset too
        // Its script still runs for an earlier onset: this one is a new event,
        // told at once as ever, and the one pending from now on.
        pending->time = QDateTime::currentDateTime();
        pending->first = QDateTime::currentDateTimeUtc();
        pending->attempt = 0;
        pending->extra = extra;
        pending->pid = 0;
        startAttempt(pending);
        return;
    }
    auto entry = std::make_unique<Entry>();
    entry->channel = channel;
    entry->reason = reason;
    entry->time = QDateTime::currentDateTime();
    entry->first = QDateTime::currentDateTimeUtc();
    entry->extra = extra;
    Entry *e = entry.get();
    m_pending.emplace(key, std::move(entry));
    startAttempt(e);
}

void Delivery::resume()
{
    if (!m_durable)
        return;
    QDir dir(m_options.stateDir);
    // Left by a crash halfway through a write; the entry it replaced is whole.
    for (const QString &name : dir.entryList({QStringLiteral("*") + kSpoolSuffix + kPartSuffix}, QDir::Files))
        dir.remove(name);
    // Named by the first start's time: oldest first.
    const QStringList names =
        dir.entryList({QStringLiteral("*") + kSpoolSuffix}, QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        const QString path = dir.filePath(name);
        // Written by this run already (a device lost at start).
        if (std::any_of(m_pending.begin(), m_pending.end(),
                        [&path](const auto &pending) { return pending.second->file == path; }))
            continue;
        auto entry = std::make_unique<Entry>();
        QFile file(path);
        QString problem;
        if (!file.open(QIODevice::ReadOnly))
            problem = file.errorString();
        else if (file.size() > kMaxEntrySize)
            problem = tr("%1 bytes, too large").arg(file.size());
        else
            problem = entry->fromJson(file.read(kMaxEntrySize));
        file.close();
        const Key key{entry->channel, entry->reason};
        if (problem.isEmpty() && m_pending.count(key))
            problem = tr("a second entry for the %1 %2 notification")
                          .arg(ScriptLauncher::channelName(entry->channel), ScriptLauncher::reasonName(entry->reason));
        if (!problem.isEmpty()) {
            const QString aside = path + kSetAsideSuffix;
            QFile::remove(aside);
            const bool moved = QFile::rename(path, aside);
            syncFolder();
            Q_EMIT warning(moved ? tr("The pending notification %1 cannot be resumed (%2): it was set aside as %3.")
                                       .arg(path, problem, aside)
                                 : tr("The pending notification %1 cannot be resumed (%2), nor set aside: remove "
                                      "it by hand.")
                                       .arg(path, problem));
            continue;
        }
        entry->file = path;
        Entry *e = entry.get();
        m_pending.emplace(key, std::move(entry));
        startAttempt(e);
    }
}

void Delivery::startAttempt(Entry *entry)
{
    ++entry->attempt;
    // Written before the script starts, so a crash of this program from here
    // on resumes it; flushed to disk just after the start (see write()).
    write(*entry);
    const Key key{entry->channel, entry->reason};
    qint64 pid = 0;
    const bool started = reportRefusal(
        [&] {
            pid = m_launcher->start(entry->channel, entry->reason, {entry->attempt, entry->time, entry->extra});
        },
        [this](int number, const QString &text) { Q_EMIT errorOccurred(number, text); });
    if (!started) {
        failed(entry);
        return;
    }
    if (pid == 0) {
        remove(key); // started and not watched: nothing more to know
        return;
    }
    entry->pid = pid;
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
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime deadline = entry->first.addMSecs(m_options.retryFor.count());
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
    const std::chrono::milliseconds wait{std::max<qint64>(
        0, std::min<qint64>(retryDelay(entry->attempt, m_options.retryBase).count(), now.msecsTo(deadline)))};
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
    if (!it->second->file.isEmpty()) {
        m_unflushed.removeAll(it->second->file);
        QFile::remove(it->second->file);
        syncFolder();
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
    if (!m_durable)
        return false;
    if (entry.file.isEmpty()) {
        // Ordered by the first start; channel and reason make it unique.
        entry.file = QDir(m_options.stateDir)
                         .filePath(QStringLiteral("%1-%2-%3%4")
                                       .arg(entry.first.toMSecsSinceEpoch(), 13, 10, QLatin1Char('0'))
                                       .arg(ScriptLauncher::channelName(entry.channel),
                                            ScriptLauncher::reasonName(entry.reason), kSpoolSuffix));
    }
    QString problem;
#ifdef Q_OS_UNIX
    // Written whole and renamed over the old entry, but not flushed here:
    // the page cache already outlives a crash of this program, and a flush
    // (milliseconds, far more on a busy disk) must not delay the script. It
    // follows once the script has started, so only a power cut in between
    // can lose the entry.
    const QString part = entry.file + kPartSuffix;
    QFile file(part);
    const QByteArray json = entry.toJson();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(json) != json.size() || !file.flush())
        problem = file.errorString();
    file.close();
    if (problem.isEmpty()
        && ::rename(QFile::encodeName(part).constData(), QFile::encodeName(entry.file).constData()) != 0)
        problem = QString::fromLocal8Bit(strerror(errno));
    if (!problem.isEmpty())
        QFile::remove(part);
    else if (!m_unflushed.contains(entry.file))
        m_unflushed.append(entry.file);
    m_flush.start();
#else
    // QSaveFile flushes the file before it renames it over the old one.
    QSaveFile file(entry.file);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.toJson()) < 0 || !file.commit())
        problem = file.errorString();
    else
        syncFolder();
#endif
    if (!problem.isEmpty()) {
        Q_EMIT warning(tr("The pending %1 notification could not be written to %2 (%3); it is still sent, but "
                          "would not survive a restart.")
                           .arg(ScriptLauncher::channelName(entry.channel), entry.file, problem));
        entry.file.clear();
        return false;
    }
    return true;
}

void Delivery::flush()
{
#ifdef Q_OS_UNIX
    if (m_unflushed.isEmpty())
        return;
    for (const QString &path : std::as_const(m_unflushed)) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::close(fd);
        }
    }
    m_unflushed.clear();
    syncFolder();
#endif
}

// A rename or removal is durable only once the folder itself is synced.
void Delivery::syncFolder()
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(m_options.stateDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#endif
}
