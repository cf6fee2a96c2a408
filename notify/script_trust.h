// SPDX-License-Identifier: MIT
#pragma once

// Whether a channel's script may run with this program's rights. The
// launcher hands in the script folder and the script's path; on Linux the
// check walks the folders from the script's up to /, then opens the script
// and the phone-home-common.sh beside it the way the shell will read them,
// and hands back the descriptor of the very file it checked. A refusal is a
// PhoneHomeError whose text says what to fix (the chmod or chown to run).
// Elsewhere it only checks that the script is there to be read.

#include "script_launcher.h"

#ifdef Q_OS_LINUX
#include "system_call.h"

#include <QByteArray>
#endif

namespace ScriptTrust {

struct Checked {
#ifdef Q_OS_LINUX
    UniqueFd file;
    // Canonical: the script runs there.
    QByteArray folder;
#else
    QString folder;
#endif
};

Checked check(const QString &scriptDir, const QString &script, ScriptLauncher::Channel channel);

// Why check() would refuse the script now, or empty.
QString problem(const QString &scriptDir, const QString &script, ScriptLauncher::Channel channel);

}
