// SPDX-License-Identifier: MIT
#pragma once

// Starts a checked script without waiting for it. In: the script host, the
// script as configured, what the trust check handed back and the variables
// of ScriptLauncher::environment(); the system's environment is added. On
// Linux the host reads the checked descriptor, never the path again, with
// /dev/null as input, two capture files in memory as output and a session
// of its own; out comes its pid and the parent's ends of the captures, for
// the watch. Elsewhere it is started through QProcess and forgotten.

#include "script_launcher.h"
#include "script_trust.h"

namespace ScriptStart {

struct Started {
    qint64 pid = 0;
#ifdef Q_OS_LINUX
    UniqueFd out;
    UniqueFd err;
#endif
};

// A host that cannot be started is thrown as a PhoneHomeError.
Started detached(ScriptLauncher::Channel channel, const QString &host, const QString &script,
                 ScriptTrust::Checked checked, const ScriptLauncher::Environment &environment);

}
