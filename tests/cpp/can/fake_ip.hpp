#pragma once

// A directory of fake `ip` and `sudo` programs placed alone on PATH. Each logs its argv as one
// line ("ip|link|set|can0|down"), and answers from files in the directory named after the step
// (show, down, configure, up; "sudo-" in front when run through the fake sudo): STEP.out and
// STEP.err are printed, STEP.signal kills the program with that signal, STEP.rc is its exit
// status. The fake sudo logs its own line and then runs the fake ip (never a real one) without
// logging again.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quorix::testing {

inline constexpr const char* FAKE_IP_SCRIPT = R"SH(#!/bin/sh
d=${0%/*}
PATH="$d:/usr/bin:/bin"; export PATH
line=ip; for a in "$@"; do line="$line|$a"; done
[ -n "$FAKE_VIA_SUDO" ] || echo "$line" >> "$d/log"
case "$*" in
  "-details link show "*) step=show; readlink /proc/self/fd/0 > "$d/show.stdin" ;;
  *" type can bitrate 1000000") step=configure ;;
  *" down") step=down ;;
  *" up") step=up ;;
  *) step=other ;;
esac
[ -n "$FAKE_VIA_SUDO" ] && step="sudo-$step"
[ -f "$d/$step.disable-ip" ] && chmod -x "$0"
[ -f "$d/$step.out" ] && cat "$d/$step.out"
[ -f "$d/$step.err" ] && cat "$d/$step.err" >&2
[ -f "$d/$step.signal" ] && kill -"$(cat "$d/$step.signal")" $$
rc=0; [ -f "$d/$step.rc" ] && rc=$(cat "$d/$step.rc")
exit "$rc"
)SH";

inline constexpr const char* FAKE_SUDO_SCRIPT = R"SH(#!/bin/sh
d=${0%/*}
PATH="$d:/usr/bin:/bin"; export PATH
line=sudo; for a in "$@"; do line="$line|$a"; done
echo "$line" >> "$d/log"
FAKE_VIA_SUDO=1; export FAKE_VIA_SUDO
prog=$1; shift
[ -x "$d/$prog" ] || { echo "sudo: $prog: command not found" >&2; exit 1; }
exec "$d/$prog" "$@"
)SH";

class FakeIpDir {
public:
    FakeIpDir() {
        char tmpl[] = "/tmp/quorix-fakeip-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        write("ip", FAKE_IP_SCRIPT, 0755);
        write("sudo", FAKE_SUDO_SCRIPT, 0755);
        const char* old = std::getenv("PATH");
        had_path_ = old != nullptr;
        if (old) old_path_ = old;
        ::setenv("PATH", dir_.c_str(), 1);
    }
    ~FakeIpDir() {
        if (had_path_)
            ::setenv("PATH", old_path_.c_str(), 1);
        else
            ::unsetenv("PATH");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    FakeIpDir(const FakeIpDir&) = delete;
    FakeIpDir& operator=(const FakeIpDir&) = delete;

    void write(const std::string& name, const std::string& content, mode_t mode = 0644) const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        ::chmod(path.c_str(), mode);
    }
    void remove(const std::string& name) const { std::filesystem::remove(dir_ + "/" + name); }
    std::string read(const std::string& name) const {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> log() const {
        std::vector<std::string> lines;
        std::istringstream in(read("log"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    std::string dir_;
    std::string old_path_;
    bool had_path_ = false;
};

/// Runs `fn` with fd 2 sent to a temporary file and returns what was written there.
template <class F>
std::string capture_stderr(F&& fn) {
    char tmpl[] = "/tmp/quorix-stderr-XXXXXX";
    const int file = ::mkstemp(tmpl);
    ::unlink(tmpl);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    fn();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string text;
    char buf[4096];
    ::lseek(file, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(file, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(file);
    return text;
}

}  // namespace quorix::testing
