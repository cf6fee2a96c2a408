// SPDX-License-Identifier: MIT
#pragma once

// What the script check, start and watch share around system calls: a
// descriptor that closes itself as it goes out of scope, and an errno value
// in words for the texts people see. Linux only.

#include <QString>

#include <cstring>
#include <utility>

#include <unistd.h>

class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1)
        : m_fd(fd)
    {
    }
    UniqueFd(UniqueFd &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~UniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

inline QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
