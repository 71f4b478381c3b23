#include "SupervisedProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace lumvex::harness {

namespace {

constexpr unsigned ORPHAN_GRACE_SECONDS = 3;

// Set only in a supervisor, which has a single thread: the program it waits for, and the
// process that started it.
volatile pid_t supervised = -1;
volatile pid_t starter = -1;

bool orphaned() {
    return ::getppid() != starter;
}

void passTermOn(int) {
    if (supervised > 0) {
        ::kill(supervised, SIGTERM);
    }
    // Nobody is left to end the program if it ignores the signal.
    if (orphaned()) {
        ::alarm(ORPHAN_GRACE_SECONDS);
    }
}

void killGroup(int) {
    ::kill(0, SIGKILL);
}

sigset_t only(int signal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    return set;
}

/// The supervisor's life after fork: only async-signal-safe calls, since the process it
/// was forked from may have had threads. It starts with SIGTERM blocked, so that a SIGTERM
/// sent before its handler is in place waits for it.
[[noreturn]] void supervise(pid_t parent, char* const* args, char* const* envp, int in, int out, int err,
                            int report) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        ::_exit(127);
    }
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ::dup2(in >= 0 ? in : null, STDIN_FILENO);
    ::dup2(out >= 0 ? out : null, STDOUT_FILENO);
    ::dup2(err >= 0 ? err : null, STDERR_FILENO);
    sigset_t none;
    sigemptyset(&none);
    const pid_t program = ::fork();
    if (program == 0) {
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execvpe(args[0], args, envp);
        const int code = errno;
        [[maybe_unused]] const auto written = ::write(report, &code, sizeof code);
        ::_exit(127);
    }
    // Nothing of the starter's stays open here: its pipes must end with it.
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    if (program < 0) {
        ::_exit(127);
    }
    supervised = program;
    starter = parent;
    struct sigaction action {};
    action.sa_handler = passTermOn;
    ::sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = killGroup;
    ::sigaction(SIGALRM, &action, nullptr);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    int status = 0;
    while (::waitpid(program, &status, 0) < 0 && errno == EINTR) {
    }
    // Whatever the program left behind in the group goes with it when nobody else will end it.
    if (orphaned()) {
        ::kill(0, SIGKILL);
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace

SupervisedProcess::~SupervisedProcess() {
    stop();
}

bool SupervisedProcess::spawn(const std::vector<std::string>& argv, const Streams& streams,
                              std::string& error, const std::vector<std::string>& environment) {
    if (running()) {
        error = "it is already running";
        return false;
    }
    if (argv.empty()) {
        error = "no program to run";
        return false;
    }
    // Everything the children need is made before fork.
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& variable : environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    for (char** variable = environ; *variable; ++variable) {
        envp.push_back(*variable);
    }
    envp.push_back(nullptr);
    // An exec failure travels back through a close-on-exec pipe.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const pid_t parent = ::getpid();
    const sigset_t term = only(SIGTERM);
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &term, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) {
        supervise(parent, args.data(), envp.data(), streams.in, streams.out, streams.err, report[1]);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        error = std::strerror(forkError);
        return false;
    }
    // Also here, so that a stop right after this call reaches the whole group.
    ::setpgid(pid, pid);
    int code = 0;
    ssize_t n;
    while ((n = ::read(report[0], &code, sizeof code)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == static_cast<ssize_t>(sizeof code)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        error = "cannot run " + argv[0] + ": " + std::strerror(code);
        return false;
    }
    pid_ = pid;
    return true;
}

bool SupervisedProcess::exited(int* status) {
    if (pid_ <= 0) {
        return true;
    }
    int s = 0;
    if (::waitpid(pid_, &s, WNOHANG) != pid_) {
        return false;
    }
    pid_ = -1;
    if (status) {
        *status = s;
    }
    return true;
}

int SupervisedProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return -1;
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    // The program, and the supervisor, which passes it on too.
    ::kill(-pid_, SIGTERM);
    bool ended = false;
    if (pidfd >= 0) {
        pollfd pfd{pidfd, POLLIN, 0};
        ended = ::poll(&pfd, 1, static_cast<int>(grace.count())) > 0;
        ::close(pidfd);
    }
    return reap(!ended);
}

int SupervisedProcess::kill() {
    return pid_ > 0 ? reap(true) : -1;
}

int SupervisedProcess::reap(bool force) {
    if (force) {
        ::kill(-pid_, SIGKILL);
    }
    // Until the supervisor is reaped its pid, and so the group's id, cannot be reused.
    siginfo_t ended{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int status = 0;
    ::kill(-pid_, SIGKILL);  // anything the program left behind
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

}  // namespace lumvex::harness
