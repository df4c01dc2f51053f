// Windows: text for a console goes through WriteConsoleW as UTF-16, which
// shows every character whatever the console's code page; text for a file
// or a pipe stays the UTF-8 bytes, with "\n" line ends as on Linux. Colours
// take the console's virtual terminal processing, which is switched on for
// the run and back off at its end.
#include "packer/platform/console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "packer/platform/windows_support.h"

namespace {

// A stream buffer that writes UTF-8 text to a console as UTF-16, at each
// line end and each flush.
class ConsoleBuffer : public std::streambuf {
  public:
    explicit ConsoleBuffer(HANDLE console) : console_(console) {}

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            pending_.push_back(traits_type::to_char_type(c));
            if (c == '\n') {
                send();
            }
        }
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<size_t>(count));
        if (std::memchr(text, '\n', static_cast<size_t>(count))) {
            send();
        }
        return count;
    }

    int sync() override {
        send();
        return 0;
    }

  private:
    void send() {
        const size_t whole = wholeUtf8Length(pending_);
        const std::wstring wide = wideFromUtf8(std::string_view(pending_).substr(0, whole));
        pending_.erase(0, whole);
        for (size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
            if (!WriteConsoleW(console_, wide.data() + done, piece, &written, nullptr) ||
                written == 0) {
                return;
            }
            done += written;
        }
    }

    HANDLE console_;
    std::string pending_;
};

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

bool colours = false;
HANDLE restoredConsole = nullptr;
DWORD restoredMode = 0;

void restoreConsoleMode() {
    SetConsoleMode(restoredConsole, restoredMode);
}

// Console text through `stream`, or its bytes unchanged when redirected.
// The buffers are never destroyed: the streams are flushed at the very end.
void setUp(DWORD which, FILE* file, std::ostream& stream) {
    HANDLE handle = GetStdHandle(which);
    if (isConsole(handle)) {
        stream.rdbuf(new ConsoleBuffer(handle));
    } else {
        _setmode(_fileno(file), _O_BINARY);
    }
}

} // namespace

void setUpStandardStreams() {
    setUp(STD_OUTPUT_HANDLE, stdout, std::cout);
    setUp(STD_ERROR_HANDLE, stderr, std::cerr);
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!coloursWanted() || !isConsole(error) || !GetConsoleMode(error, &mode)) {
        return;
    }
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) {
        colours = true;
    } else if (SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        colours = true;
        restoredConsole = error;
        restoredMode = mode;
        std::atexit(restoreConsoleMode);
    }
}

bool standardErrorIsTerminal() {
    return isConsole(GetStdHandle(STD_ERROR_HANDLE));
}

bool standardErrorShowsColours() {
    return colours;
}
