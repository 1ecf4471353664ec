#include "Password.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "TrustedFile.h"

namespace cscli {

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    std::string text;
    mode_t mode = 0;
    if (!ReadTrustedFile(path, "password file", text, mode, error)) return false;
    error = TooOpenForASecret(path, "password file", mode);
    if (!error.empty()) return false;
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && line.back() == '\r') line.pop_back();
    password = line;
    return true;
}

namespace {

// What a signal handler needs to give the terminal its echo back before the process ends.
volatile sig_atomic_t g_TerminalFd = -1;
struct termios g_SavedTerminal;

const int kRestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreTerminalAndDie(int signalNumber) {
    if (g_TerminalFd >= 0) tcsetattr(g_TerminalFd, TCSAFLUSH, &g_SavedTerminal);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Reads one line from @p fd into @p line, byte by byte so that nothing after it is taken; false when
// the input ended (or failed) before a line end.
bool ReadLine(int fd, std::string& line) {
    char c = 0;
    for (;;) {
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
}

}  // namespace

PromptResult PromptPassword(const std::string& prompt, std::string& password) {
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return PromptResult::NoTerminal;
    struct termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        close(fd);
        return PromptResult::NoTerminal;
    }

    g_SavedTerminal = saved;
    g_TerminalFd = fd;
    struct sigaction restoring;
    std::memset(&restoring, 0, sizeof restoring);
    restoring.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&restoring.sa_mask);
    struct sigaction previous[sizeof kRestoringSignals / sizeof kRestoringSignals[0]];
    for (std::size_t i = 0; i < sizeof kRestoringSignals / sizeof kRestoringSignals[0]; ++i)
        sigaction(kRestoringSignals[i], &restoring, &previous[i]);

    // Echo goes off before the prompt appears, so nothing typed after it can be echoed.
    struct termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    quiet.c_lflag |= ICANON;
    tcsetattr(fd, TCSAFLUSH, &quiet);
    WriteAll(fd, prompt);

    std::string line;
    const bool gotLine = ReadLine(fd, line);

    tcsetattr(fd, TCSAFLUSH, &saved);
    WriteAll(fd, "\n");
    g_TerminalFd = -1;
    for (std::size_t i = 0; i < sizeof kRestoringSignals / sizeof kRestoringSignals[0]; ++i)
        sigaction(kRestoringSignals[i], &previous[i], nullptr);
    close(fd);

    if (!gotLine && line.empty()) return PromptResult::NoInput;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    password = line;
    return PromptResult::Read;
}

PromptResult PromptLine(const std::string& prompt, std::string& answer) {
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return PromptResult::NoTerminal;
    WriteAll(fd, prompt);
    answer.clear();
    const bool gotLine = ReadLine(fd, answer);
    close(fd);
    return gotLine ? PromptResult::Read : PromptResult::NoInput;
}

}  // namespace cscli
