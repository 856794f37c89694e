// simusb: runs a command with the simulated board plugged in over USB.
//
//   simusb COMMAND [ARGS...]
//
// The board's FT232R sits on a umockdev testbed that this process owns and
// serves; the command runs under umockdev's preload, so the real libusb-1.0
// and libftdi1 in it find the board as they would find the hardware. The
// command keeps the launcher's standard streams, closed ones included, and
// gets SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to the launcher. The launcher ends
// with the command's status, or dies of the signal that ended it.
#include "board.h"
#include "usbfront.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

volatile std::sig_atomic_t command = 0;

// A signal sent by a process goes on to the command. One from the terminal
// reached the command's process group by itself.
extern "C" void forwardSignal(int signalNumber, siginfo_t* info, void*) {
    if (info->si_code <= 0 && command > 0) kill(command, signalNumber);
}

namespace {

constexpr char preloadLibrary[] = "libumockdev-preload.so.0";
constexpr std::array forwardedSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int cannotRun = 127;

// Until the command starts, /dev/null holds the number of a standard stream
// the launcher was started without, so that no file of the testbed takes
// it. Returns which ones were closed.
std::array<bool, 3> holdClosedStreams() {
    std::array<bool, 3> closed{};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            closed[static_cast<std::size_t>(fd)] = true;
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
    }
    return closed;
}

// AddressSanitizer refuses to run unless it comes first in the preload
// list, so umockdev's library goes last.
bool addPreload() {
    const char* current = std::getenv("LD_PRELOAD");
    if (current && std::strstr(current, preloadLibrary)) return true;
    std::array<char, 4096> list{};
    int length = std::snprintf(list.data(), list.size(), "%s%s%s", current ? current : "",
                               current && *current ? ":" : "", preloadLibrary);
    return length < static_cast<int>(list.size()) && setenv("LD_PRELOAD", list.data(), 1) == 0;
}

pid_t startCommand(char** argv, const std::array<bool, 3>& closed, const sigset_t& mask) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (closed[static_cast<std::size_t>(fd)]) posix_spawn_file_actions_addclose(&actions, fd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        std::fprintf(stderr, "simusb: %s: %s\n", argv[0], std::strerror(error));
        return -1;
    }
    return pid;
}

// Forwarding is set up only for the signals the launcher was not told to
// ignore: the command inherits those ignored, as it would without it.
void catchForwardedSignals() {
    for (int signalNumber : forwardedSignals) {
        struct sigaction current {};
        sigaction(signalNumber, nullptr, &current);
        if (current.sa_handler == SIG_IGN) continue;
        struct sigaction forward {};
        forward.sa_sigaction = forwardSignal;
        forward.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&forward.sa_mask);
        sigaction(signalNumber, &forward, nullptr);
    }
}

// The command's stderr is its own: umockdev's messages go to the board's
// log when there is one.
void logMessage(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    if (level & (G_LOG_LEVEL_DEBUG | G_LOG_LEVEL_INFO)) return;
    const char* log = std::getenv("SIMBOARD_LOG");
    if (log && *log)
        boardLog("%s: %s", domain ? domain : "umockdev", message);
    else
        std::fprintf(stderr, "simusb: %s\n", message);
}

int dieOf(int signalNumber) {
    // The command's crash is not the launcher's: no core file of this one.
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::signal(signalNumber, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    kill(getpid(), signalNumber);
    return 128 + signalNumber;  // what a shell reports for a command ended by a signal
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: simusb COMMAND [ARGS...]\n"
                   "Runs COMMAND with the simulated board on a simulated USB bus (knobs: SIMBOARD_*).\n",
                   stderr);
        return 2;
    }
    std::array<bool, 3> closed = holdClosedStreams();
    // The launcher itself needs no preload: the testbed's worker thread
    // serves the command's ioctls over umockdev's socket. The environment is
    // set before that thread starts and never changed after.
    if (!addPreload()) {
        std::fputs("simusb: LD_PRELOAD is too long\n", stderr);
        return cannotRun;
    }
    g_log_set_default_handler(logMessage, nullptr);
    UMockdevTestbed* testbed = umockdev_testbed_new();
    GError* error = nullptr;
    if (!usbfrontPlugIn(testbed, &error)) {
        std::fprintf(stderr, "simusb: %s\n", error->message);
        g_error_free(error);
        g_object_unref(testbed);
        return cannotRun;
    }

    sigset_t forwarded;
    sigset_t original;
    sigemptyset(&forwarded);
    for (int signalNumber : forwardedSignals) sigaddset(&forwarded, signalNumber);
    // Held back until the command's pid is known, so none is lost.
    sigprocmask(SIG_BLOCK, &forwarded, &original);
    catchForwardedSignals();
    pid_t pid = startCommand(argv + 1, closed, original);
    command = pid;
    sigprocmask(SIG_SETMASK, &original, nullptr);

    int status = 0;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
        }
    }
    usbfrontUnplug();
    g_object_unref(testbed);
    if (pid <= 0) return cannotRun;
    if (WIFSIGNALED(status)) return dieOf(WTERMSIG(status));
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
