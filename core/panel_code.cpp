// SPDX-License-Identifier: MIT
#include "panel_code.h"

#include "small_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

#include <sys/stat.h>

namespace {
constexpr int kFormat = 1;
// A code is one short line; a file much larger is not a code file.
constexpr qsizetype kCodeFileMax = 1024;
constexpr qsizetype kStateFileMax = 4096;
const QString kOption = QStringLiteral("--code-file");

QByteArray digest(const QString &code)
{
    return QCryptographicHash::hash(code.toUtf8(), QCryptographicHash::Sha256);
}

bool isCode(const QString &code)
{
    return code.size() >= PanelCode::kMinDigits && code.size() <= PanelCode::kMaxDigits
        && std::all_of(code.begin(), code.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}
}

const QString PanelCode::kFileName = QStringLiteral("lockout.state");

PanelCode::PanelCode(QObject *parent)
    : QObject(parent)
    , m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
}

QString PanelCode::readFile(const QString &path, QStringList *warnings)
{
    SmallFile::Contents file = SmallFile::read(path, kCodeFileMax);
    if (!file.problem.isEmpty())
        return QStringLiteral("cannot read %1 \"%2\": %3").arg(kOption, path, file.problem);
    const qsizetype end = file.data.indexOf('\n');
    QString line = QString::fromUtf8(file.data.left(end < 0 ? file.data.size() : end));
    if (line.endsWith(u'\r'))
        line.chop(1);
    const bool ok = setCode(line);
    // The code lives on only as its digest.
    line.fill(u'0');
    file.data.fill('\0');
    // The numbers first: a later arg() would also look into the path.
    if (!ok)
        return QStringLiteral("bad %3 \"%4\": its first line must be the code, %1 to %2 digits")
            .arg(kMinDigits)
            .arg(kMaxDigits)
            .arg(kOption, path);
    // As ssh does for a key: told, not refused.
    if (file.mode & (S_IROTH | S_IWOTH))
        warnings->append(QStringLiteral("%2 \"%3\" can be read or changed by other users (mode %1); make it "
                                        "chmod 640 (owner root, group of the program's user) or 600")
                             .arg(file.mode, 4, 8, QLatin1Char('0'))
                             .arg(kOption, path));
    return QString();
}

bool PanelCode::setCode(const QString &code)
{
    m_digest = isCode(code) ? digest(code) : QByteArray();
    return isSet();
}

QString PanelCode::restore(const QString &stateDir)
{
    m_wrong.clear();
    m_until = QDateTime();
    m_file = stateDir.isEmpty() ? QString() : QDir(stateDir).filePath(kFileName);
    if (m_file.isEmpty())
        return QString();
    const SmallFile::Contents file = SmallFile::read(m_file, kStateFileMax);
    if (file.missing)
        return QString();
    QString problem = file.problem;
    if (problem.isEmpty()) {
        const QJsonObject o = QJsonDocument::fromJson(file.data).object();
        const QJsonValue until = o.value(QStringLiteral("until"));
        const QJsonValue wrong = o.value(QStringLiteral("wrong"));
        if (o.value(QStringLiteral("format")).toInt() != kFormat || !until.isDouble() || !wrong.isArray()) {
            problem = tr("not a count this program wrote");
        } else {
            if (until.toDouble() > 0)
                m_until = QDateTime::fromMSecsSinceEpoch(qint64(until.toDouble()), Qt::UTC);
            for (const QJsonValue &time : wrong.toArray()) {
                if (time.toDouble() > 0)
                    m_wrong.append(QDateTime::fromMSecsSinceEpoch(qint64(time.toDouble()), Qt::UTC));
            }
        }
    }
    if (problem.isEmpty())
        return QString();
    m_wrong.clear();
    m_until = QDateTime();
    return tr("The count of wrong codes %1 cannot be read (%2); it starts again at zero.").arg(m_file, problem);
}

PanelCode::Verdict PanelCode::check(const QString &code)
{
    const QDateTime t = now();
    forgetOld(t);
    if (m_until.isValid())
        return Verdict::LockedOut;
    if (!isSet())
        return Verdict::NotSet;
    if (code.isEmpty())
        return Verdict::Missing;
    const QByteArray given = digest(code);
    // Every byte is looked at, whatever the first difference.
    unsigned char difference = 0;
    for (qsizetype i = 0; i < m_digest.size(); ++i)
        difference |= (unsigned char)(given[i] ^ m_digest[i]);
    if (difference == 0) {
        if (!m_wrong.isEmpty()) {
            m_wrong.clear();
            save();
        }
        return Verdict::Right;
    }
    m_wrong.append(t);
    if (m_wrong.size() >= kMaxWrong) {
        m_wrong.clear();
        m_until = t.addSecs(std::chrono::seconds(kLockout).count());
        save();
        Q_EMIT lockedOut(m_until);
    } else {
        save();
    }
    return Verdict::Wrong;
}

bool PanelCode::isLockedOut()
{
    forgetOld(now());
    return m_until.isValid();
}

QDateTime PanelCode::lockedUntil()
{
    forgetOld(now());
    return m_until;
}

QDateTime PanelCode::now() const
{
    return m_clock().toUTC();
}

void PanelCode::forgetOld(const QDateTime &now)
{
    // A clock set back must neither stretch a lockout nor keep wrong codes
    // longer than their window.
    const QDateTime latestEnd = now.addSecs(std::chrono::seconds(kLockout).count());
    if (m_until.isValid() && m_until > latestEnd)
        m_until = latestEnd;
    if (m_until.isValid() && m_until <= now)
        m_until = QDateTime();
    const QDateTime oldest = now.addSecs(-std::chrono::seconds(kWrongWindow).count());
    m_wrong.removeIf([&oldest](const QDateTime &time) { return time <= oldest; });
    for (QDateTime &time : m_wrong)
        time = std::min(time, now);
}

void PanelCode::save()
{
    if (m_file.isEmpty())
        return;
    QJsonArray wrong;
    for (const QDateTime &time : std::as_const(m_wrong))
        wrong.append(double(time.toMSecsSinceEpoch()));
    const QJsonObject o{{QStringLiteral("format"), kFormat},
                        {QStringLiteral("wrong"), wrong},
                        {QStringLiteral("until"), m_until.isValid() ? double(m_until.toMSecsSinceEpoch()) : 0.0}};
    const QString problem = SmallFile::write(m_file, QJsonDocument(o).toJson(QJsonDocument::Compact));
    if (problem.isEmpty())
        m_writes.succeeded();
    else if (m_writes.failed())
        Q_EMIT warning(tr("The count of wrong codes could not be written to %1 (%2); a restart would forget it.")
                           .arg(m_file, problem));
}
