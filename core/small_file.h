// SPDX-License-Identifier: MIT
#pragma once

// Small files of the program's own (a code file, the panel's state), read and
// written with care. Read: only a regular file, opened without blocking (a
// FIFO without a writer would hold up start) and with a bound (/dev/zero
// never ends). Written: whole or not at all, and durably, so that a crash or
// a power cut leaves the old file or the new one, never half of one.

#include <QByteArray>
#include <QString>

namespace SmallFile {

struct Contents {
    QByteArray data;
    QString problem;      // why it cannot be read, in a few words; empty when read
    bool missing = false; // there is no such file (problem says so too)
    uint mode = 0;        // permission bits, when it was opened
};

// At most maxSize bytes; a larger file is a problem, not a partial read.
Contents read(const QString &path, qsizetype maxSize);
// Replaces the file, making its folder if need be. Why it could not, or empty.
QString write(const QString &path, const QByteArray &data);

}
