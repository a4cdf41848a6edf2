// The master's keyboard: a key check that does not wait for Enter, and the
// watch on standard input.
#include "transport/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace {

// Standard input is watched by the master's wait until it has nothing more to
// give. A terminal is never watched: in canonical mode it reports input only
// line by line, so its keys are looked for at every time-out instead.
bool watching = true;
bool watchDecided = false;

int waitingBytes() {
    int waiting = 0;
    if (ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

}  // namespace

int kbhit() {
    // Unbuffered, so that a byte read here is never held back in the stream
    // while the byte count below says nothing is waiting.
    static const bool unbuffered = std::setvbuf(stdin, nullptr, _IONBF, 0) == 0;
    (void)unbuffered;

    struct termios kept;
    const bool terminal = tcgetattr(STDIN_FILENO, &kept) == 0;
    if (terminal) {
        struct termios immediate = kept;
        immediate.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        tcsetattr(STDIN_FILENO, TCSANOW, &immediate);
    }
    const int waiting = waitingBytes();
    if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &kept);
    if (waiting <= 0) return 0;
    const int key = std::getc(stdin);
    return key == EOF ? 0 : static_cast<unsigned char>(key);
}

int keyWatchFd() {
    if (!watchDecided) {
        watchDecided = true;
        watching = isatty(STDIN_FILENO) == 0;
    }
    return watching ? STDIN_FILENO : -1;
}

void keyWatchReadable() {
    // Readable with nothing waiting: the end of the input (or one that cannot
    // be counted), which would otherwise wake every wait at once.
    if (waitingBytes() <= 0) watching = false;
}
