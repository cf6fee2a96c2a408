// SPDX-License-Identifier: MIT
#pragma once

// Small files of the program's own (a code file, the panel's state, the
// spool's entries), read and written with care. Read: only a regular file,
// opened without blocking (a FIFO without a writer would hold up start) and
// with a bound (/dev/zero never ends). Written: whole or not at all, and
// durably: a temporary file beside it (NAME.part), written whole, fdatasync,
// renamed over the old name, then the folder fsync'd. A crash or a power cut
// at any step leaves the old file or the new one, never half of one, and the
// caller is told "done" only once the new one is on disk.

#include <QByteArray>
#include <QString>

#include <utility>

namespace SmallFile {

struct Contents {
    QByteArray data;
    QString problem;      // why it cannot be read, in a few words; empty when read
    bool missing = false; // there is no such file (problem says so too)
    uint mode = 0;        // permission bits, when it was opened
};

// Written beside a file, renamed over it once on disk; a leftover one is
// what a crash cut short, and the file it was to replace is whole.
inline constexpr QLatin1StringView kPartSuffix{".part"};

// At most maxSize bytes; a larger file is a problem, not a partial read.
Contents read(const QString &path, qsizetype maxSize);
// Replaces the file, making its folder if need be. Why it could not (every
// failed call counts, fsync's among them), or empty once it is on disk.
QString write(const QString &path, const QByteArray &data);
// Removes the file (none there is no failure) and syncs its folder, so that
// a restart does not find it again. Why it could not, or empty.
QString remove(const QString &path);
// Syncs a folder, making a rename or removal in it durable.
QString syncFolder(const QString &folder);

// A writer that fails again and again (a full or read-only disk) says so once,
// and once more when it works again.
class FailureNotice
{
public:
    // True the first time after a success (or ever): tell this failure.
    bool failed() { return !std::exchange(m_failing, true); }
    // True when writes work again after failing: tell that too.
    bool succeeded() { return std::exchange(m_failing, false); }
    bool failing() const { return m_failing; }

private:
    bool m_failing = false;
};

}
