// Shared ground of the fuzz targets: a property check that stops the process
// (libFuzzer keeps the input as a finding; the corpus replay fails its test),
// a private base folder for the targets that touch files, and the loopback
// client the session targets use.
//
// Every target defines LLVMFuzzerTestOneInput. Under libFuzzer the fuzzer
// calls it; in the normal build ReplayMain.cpp calls it once per corpus file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) fuzzsupport::fail(#cond, __FILE__, __LINE__);                              \
    } while (0)

namespace fuzzsupport {

[[noreturn]] void fail(const char* what, const char* file, int line);

// Points XDG_DATA_HOME at a fresh temporary folder (once per process, removed
// at exit) and creates the global settings object in it.
void setUpDataHome();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// One client connection to a server of this process on 127.0.0.1. Every wait
// steps the process's message loop, with a bound.
class LoopbackClient {
public:
    explicit LoopbackClient(int port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Sends every byte, reading (and dropping) what the server answers
    // meanwhile so that its output never stalls; false when the server
    // closed first.
    bool sendAll(const std::string& data);
    // Ends the client's side and waits until the server closes its own.
    bool finish(int timeoutMs);
    // Reads until a line ending in CR LF has come; that line, or "".
    std::string line(int timeoutMs);

private:
    bool drain();  // false once the server has closed
    int fd_ = -1;
    bool eof_ = false;
    std::string in_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();
// Steps the message loop until pred() holds; false after timeoutMs.
bool stepUntil(const std::function<bool()>& pred, int timeoutMs);

}  // namespace fuzzsupport

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
