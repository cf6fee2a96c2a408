// SPDX-License-Identifier: MIT
#pragma once

// The code that disarms the panel, and the lockout that stops guessing.
//
// The code comes from the first line of --code-file (4 to 12 digits); only
// its SHA-256 digest is kept, and a code given is compared digest to digest
// in constant time, so neither its length nor its digits show in the time a
// check takes. The code never appears in a text this class makes.
//
// Five wrong codes within ten minutes lock every command out for ten
// minutes, the right code included. The wrong codes and the lockout are kept
// in the state folder, so a restart does not give a guesser five more tries.
// Times come from an injectable clock (wall time, UTC), as they must outlive
// the process.

#include "small_file.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class PanelCode : public QObject
{
    Q_OBJECT
public:
    enum class Verdict { Right, Wrong, LockedOut, Missing, NotSet };
    Q_ENUM(Verdict)
    using Clock = std::function<QDateTime()>;

    static constexpr int kMinDigits = 4;
    static constexpr int kMaxDigits = 12;
    static constexpr int kMaxWrong = 5;
    static constexpr std::chrono::minutes kWrongWindow{10};
    static constexpr std::chrono::minutes kLockout{10};
    // Where the wrong codes and the lockout are kept, in the state folder.
    static const QString kFileName;

    explicit PanelCode(QObject *parent = nullptr);

    // Takes the code from the file's first line. Returns why it cannot (a
    // text naming the file, for a usage error), or empty; a file that others
    // can read or change adds a warning.
    QString readFile(const QString &path, QStringList *warnings);
    // Digits only, kMinDigits to kMaxDigits; false (and no code) otherwise.
    bool setCode(const QString &code);
    bool isSet() const { return !m_digest.isEmpty(); }

    void setClock(Clock clock) { m_clock = std::move(clock); }
    // Restores the wrong codes and a lockout from the state folder (empty: kept
    // in memory only). Returns a warning when the file cannot be read; the
    // count then starts at zero.
    QString restore(const QString &stateDir);

    // Counts a wrong code; a missing code counts for nothing.
    Verdict check(const QString &code);
    // Both first bring the count up to the clock, hence not const.
    bool isLockedOut();
    // When the lockout ends; invalid when there is none.
    QDateTime lockedUntil();

Q_SIGNALS:
    void lockedOut(const QDateTime &until);
    // The count could not be written and would not survive a restart.
    void warning(const QString &text);

private:
    QDateTime now() const;
    void forgetOld(const QDateTime &now);
    void save();

    QByteArray m_digest;
    Clock m_clock;
    QString m_file;
    SmallFile::FailureNotice m_writes;
    QList<QDateTime> m_wrong;
    QDateTime m_until;
};
