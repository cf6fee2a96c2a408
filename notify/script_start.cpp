// SPDX-License-Identifier: MIT
#include "script_start.h"

#include "common/error_codes.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {
QProcessEnvironment withSystem(const ScriptLauncher::Environment &own)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : own)
        env.insert(name, value);
    return env;
}

PhoneHomeError hostFailed(ScriptLauncher::Channel channel, const QString &host, const QString &why)
{
    return PhoneHomeError(ErrorCode::ScriptHostFailed,
                          ProcessScriptLauncher::tr("Cannot send the %1 notification: the script host %2 "
                                                    "could not be started (%3). Check that it is installed.")
                              .arg(ScriptLauncher::channelName(channel), host, why));
}
}

#ifndef Q_OS_LINUX

ScriptStart::Started ScriptStart::detached(ScriptLauncher::Channel channel, const QString &host, const QString &script,
                                           ScriptTrust::Checked checked, const ScriptLauncher::Environment &environment)
{
    QProcess process;
    process.setProgram(host);
    process.setArguments({script});
    process.setProcessEnvironment(withSystem(environment));
    process.setWorkingDirectory(checked.folder);
    process.setStandardInputFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        throw hostFailed(channel, host, process.errorString());
    return {pid};
}

#else

namespace {
// Descriptors the script gets: stdin, stdout, stderr and the script itself.
constexpr int kScriptFd = 3;
// Where the parent keeps its own copies, clear of 0..3 so that no dup2 in
// the child overwrites one it still has to hand on.
constexpr int kFirstHighFd = 10;

// Moves fd above the descriptors the child's file actions write to.
UniqueFd high(int fd)
{
    UniqueFd original(fd);
    if (fd < 0)
        return UniqueFd();
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd));
}

UniqueFd captureFile(const char *name)
{
    return high(::memfd_create(name, MFD_CLOEXEC));
}

}

ScriptStart::Started ScriptStart::detached(ScriptLauncher::Channel channel, const QString &host, const QString &script,
                                           ScriptTrust::Checked checked, const ScriptLauncher::Environment &environment)
{
    const UniqueFd scriptFd = high(checked.file.release());
    UniqueFd out = captureFile("phone-home-stdout");
    UniqueFd err = captureFile("phone-home-stderr");
    if (!out.valid() || !err.valid() || !scriptFd.valid()) {
        throw PhoneHomeError(
            ErrorCode::ScriptHostFailed,
            ProcessScriptLauncher::tr("Cannot send the %1 notification: no file for the script's output could be made "
                                      "(%2). Free some memory or descriptors and try again.")
                .arg(ScriptLauncher::channelName(channel), systemError(errno)));
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.get(), STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, scriptFd.get(), kScriptFd);
    // Whatever else the program holds open without close-on-exec is not the
    // script's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, kScriptFd + 1);
    posix_spawn_file_actions_addchdir_np(&actions, checked.folder.constData());

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own session: closing the program's terminal does not hang it up.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

    // $0 stays the script's name for its messages and for finding its folder.
    const QByteArray program = QFile::encodeName(host);
    const QByteArray name = QFile::encodeName(script);
    // /proc/self/fd rather than /dev/fd: a minimal system (a container, a
    // chroot without udev) may lack the /dev/fd link.
    const QByteArray command = ". /proc/self/fd/" + QByteArray::number(kScriptFd);
    char *argv[] = {const_cast<char *>(program.constData()), const_cast<char *>("-c"),
                    const_cast<char *>(command.constData()), const_cast<char *>(name.constData()), nullptr};

    QByteArrayList entries;
    for (const QString &entry : withSystem(environment).toStringList())
        entries.append(entry.toLocal8Bit());
    std::vector<char *> envp;
    envp.reserve(entries.size() + 1);
    for (QByteArray &entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw hostFailed(channel, host, systemError(error));
    return {pid, std::move(out), std::move(err)};
}

#endif
