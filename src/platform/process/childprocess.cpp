#include "platform/process/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

// A pipe whose ends close themselves; both ends close on exec, so only the copies made for
// the child's standard streams reach it.
struct Pipe {
    int fd[2] = {-1, -1};
    // Never on 0, 1 or 2 (free when this program runs without them): setting up the child's
    // standard streams would overwrite one pipe with another.
    bool open() {
        if (pipe2(fd, O_CLOEXEC) != 0) {
            return false;
        }
        for (int& end : fd) {
            if (end <= STDERR_FILENO) {
                const int moved = fcntl(end, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
                ::close(end);
                end = moved;
            }
        }
        return fd[0] >= 0 && fd[1] >= 0;
    }
    void close(int end) {
        if (fd[end] >= 0) {
            ::close(fd[end]);
            fd[end] = -1;
        }
    }
    ~Pipe() {
        close(0);
        close(1);
    }
};

// NUL-terminated byte strings and the pointer array exec wants.
struct CStrings {
    std::vector<QByteArray> items;
    std::vector<char*> pointers;
    char** get() {
        pointers.clear();
        for (QByteArray& item : items) {
            pointers.push_back(item.data());
        }
        pointers.push_back(nullptr);
        return pointers.data();
    }
};

CStrings argvOf(const ChildRequest& request) {
    CStrings argv;
    argv.items.push_back(QFile::encodeName(request.program));
    for (const QString& arg : request.args) {
        argv.items.push_back(QFile::encodeName(arg));
    }
    return argv;
}

// The caller's locale and the variables that change the unit or the layout of what a program
// prints (du, df, lsblk...): left in, the tool would misread sizes. Every entry of them goes,
// since a program reads the first of two; the C locale is added after.
bool isDroppedFromChild(const char* entry) {
    static const char* const names[] = {"LC_ALL",          "BLOCK_SIZE",    "BLOCKSIZE",
                                        "DU_BLOCK_SIZE",   "DF_BLOCK_SIZE", "LS_BLOCK_SIZE",
                                        "POSIXLY_CORRECT", "LSBLK_COLUMNS", "QUOTING_STYLE"};
    for (const char* name : names) {
        const size_t length = std::strlen(name);
        if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') {
            return true;
        }
    }
    return false;
}

CStrings environmentWithCLocale() {
    CStrings env;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (!isDroppedFromChild(*entry)) {
            env.items.emplace_back(*entry);
        }
    }
    env.items.emplace_back("LC_ALL=C");
    return env;
}

// The child's signals as a fresh program expects them: none blocked, none ignored. A child
// with a time limit leads a process group of its own, so that what it started goes with it.
struct SpawnAttributes {
    posix_spawnattr_t attr;
    explicit SpawnAttributes(bool ownGroup) {
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (ownGroup) {
            posix_spawnattr_setpgroup(&attr, 0);
            flags |= POSIX_SPAWN_SETPGROUP;
        }
        posix_spawnattr_setflags(&attr, flags);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
};

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions(int in, int out, int err) {
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Reads what is there: the byte count, 0 at the end of the stream, -1 with errno.
ssize_t readChunk(int fd, QByteArray& into) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, int(n));
    }
    return n;
}

// Reads once; false when the stream has ended (or failed, which ends it too).
bool readSome(int fd, QByteArray& into) {
    const ssize_t n = readChunk(fd, into);
    return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
}

// A descriptor that becomes readable when the child ends; -1 where the kernel offers none
// (the outputs are then read to their end).
int exitNotifier(pid_t pid) {
    return int(syscall(SYS_pidfd_open, pid, 0));
}

// Takes what the ended child left in the pipe and closes it. A process it started may hold
// the pipe open for ever, so reading stops at what is there now.
void drainAndClose(Pipe& pipe, QByteArray& into) {
    if (pipe.fd[0] < 0) {
        return;
    }
    fcntl(pipe.fd[0], F_SETFL, O_NONBLOCK);
    for (;;) {
        const ssize_t n = readChunk(pipe.fd[0], into);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            break;
        }
    }
    pipe.close(0);
}

// A child that stops reading its input must not end us with SIGPIPE, whatever handler the
// program has: the signal is blocked for the write and a pending one taken back.
ssize_t writeWithoutSigpipe(int fd, const char* data, size_t size) {
    sigset_t pipeSignal;
    sigset_t old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EPIPE) {
        const timespec none{};
        sigtimedwait(&pipeSignal, nullptr, &none);
        errno = EPIPE;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return n;
}

// Writes the next piece of input; closes our end once all is given or the child will not
// take it.
void feed(Pipe& in, const QByteArray& input, qint64& written) {
    const ssize_t n =
        writeWithoutSigpipe(in.fd[1], input.constData() + written, size_t(input.size() - written));
    written += n > 0 ? n : 0;
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
        in.close(1);
    }
}

qint64 monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// What poll() may wait before the deadline; -1 (for ever) without one.
int msUntil(qint64 deadline) {
    return deadline < 0 ? -1 : int(std::clamp<qint64>(deadline - monotonicMs(), 0, INT_MAX));
}

// A killed child normally ends at once. One held in the kernel (a call to a hung network
// file system that ignores even SIGKILL) may not: it is then left behind, not waited for.
constexpr int kKilledGraceMs = 5000;

bool endsSoon(int ended) {
    pollfd fd{ended, POLLIN, 0};
    return ended < 0 || poll(&fd, 1, kKilledGraceMs) > 0;
}

// Feeds the input and gathers both outputs until the child has ended (or, without a time
// limit, closed them all), or until they pass the output limit or the time limit: the child
// is then killed, and at its time limit its process group too.
void exchange(Pipe& in, Pipe& out, Pipe& err, const ChildRequest& request, ChildResult& result,
              pid_t pid, int ended) {
    const qint64 deadline = request.timeLimitMs < 0 ? -1 : monotonicMs() + request.timeLimitMs;
    const bool waitForEnd = deadline >= 0 && ended >= 0;
    qint64 written = 0;
    if (request.input.isEmpty()) {
        in.close(1);
    } else {
        fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
    }
    while (in.fd[1] >= 0 || out.fd[0] >= 0 || err.fd[0] >= 0 || waitForEnd) {
        pollfd fds[4] = {{in.fd[1], POLLOUT, 0},
                         {out.fd[0], POLLIN, 0},
                         {err.fd[0], POLLIN, 0},
                         {ended, POLLIN, 0}};
        const int ready = poll(fds, 4, msUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0 && deadline >= 0 && monotonicMs() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            break;
        }
        if (fds[0].revents) {
            feed(in, request.input, written);
        }
        if (fds[1].revents && !readSome(out.fd[0], result.out)) {
            out.close(0);
        }
        if (fds[2].revents && !readSome(err.fd[0], result.err)) {
            err.close(0);
        }
        if (request.outputLimit >= 0 &&
            result.out.size() + result.err.size() > request.outputLimit) {
            result.overLimit = true;
            kill(pid, SIGKILL);
            break;
        }
        if (fds[3].revents) {
            drainAndClose(out, result.out);
            drainAndClose(err, result.err);
            break;
        }
    }
}

void reap(pid_t pid, ChildResult& result) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            result.code = -1;
            return;
        }
    }
    result.crashed = WIFSIGNALED(status);
    result.code = result.crashed ? WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace

ChildResult runChild(const ChildRequest& request) {
    ChildResult result;
    Pipe in;
    Pipe out;
    Pipe err;
    if (!in.open() || !out.open() || (!request.mergeErr && !err.open())) {
        result.startError = QString::fromLocal8Bit(std::strerror(errno));
        return result;
    }
    CStrings argv = argvOf(request);
    CStrings env = environmentWithCLocale();
    SpawnAttributes attributes(request.timeLimitMs >= 0);
    pid_t pid = -1;
    int failure = 0;
    {
        FileActions actions(in.fd[0], out.fd[1], request.mergeErr ? out.fd[1] : err.fd[1]);
        failure = posix_spawnp(&pid, argv.items.front().constData(), &actions.actions,
                               &attributes.attr, argv.get(), env.get());
    }
    in.close(0);
    out.close(1);
    err.close(1);
    if (failure != 0) {
        result.startError = QString::fromLocal8Bit(std::strerror(failure));
        return result;
    }
    result.started = true;
    const int ended = exitNotifier(pid);
    exchange(in, out, err, request, result, pid, ended);
    if (!result.timedOut || endsSoon(ended)) {
        reap(pid, result);
    } else {
        result.crashed = true;
        result.code = SIGKILL;
    }
    if (ended >= 0) {
        ::close(ended);
    }
    return result;
}

void resetChildSignal() {
    signal(SIGCHLD, SIG_DFL);
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    pthread_sigmask(SIG_UNBLOCK, &child, nullptr);
}
