// Relay throughput of the SMTP agent: N queued messages of about 2 KB to one
// address-literal domain, served by a local python3-aiosmtpd sink on port 25
// of a loopback address. The sink's own capacity (a Python client sending the
// same messages one connection each) is measured in the same run as the
// baseline. Prints messages per second and the peak resident set size.
//
// Usage: smtpagent_bench [messages]   (default 1000; needs root for port 25)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "engine/SmtpAgent.h"
#include "platform/MessageLoop.h"

namespace {

const char* const SinkScript = R"PY(
import sys, threading
from aiosmtpd.controller import Controller
class Sink:
    async def handle_DATA(self, server, session, envelope):
        return '250 OK'
class Wide(Controller):
    # asyncio's default backlog of 100 is far below a burst of one
    # connection per queued message.
    def _create_server(self):
        return self.loop.create_server(self._factory_invoker, host=self.hostname, port=self.port, backlog=4096)
c = Wide(Sink(), hostname=sys.argv[1], port=int(sys.argv[2]))
c.start()
print('READY', flush=True)
threading.Event().wait()
)PY";

const char* const ClientScript = R"PY(
import smtplib, sys, time
host, count, body = sys.argv[1], int(sys.argv[2]), open(sys.argv[3], 'rb').read()
t = time.monotonic()
for i in range(count):
    s = smtplib.SMTP(host, 25)
    s.helo('bench.test')
    s.sendmail('bench@bench.test', ['sink@[%s]' % host], body)
    s.quit()
print('%.3f' % (time.monotonic() - t), flush=True)
)PY";

double Seconds(std::chrono::steady_clock::time_point A, std::chrono::steady_clock::time_point B) {
    return std::chrono::duration<double>(B - A).count();
}

long PeakRssKb() {
    rusage U{};
    getrusage(RUSAGE_SELF, &U);
    return U.ru_maxrss;
}

int Spawn(const std::vector<std::string>& Argv, int& OutFd) {
    int P[2];
    if (pipe2(P, O_CLOEXEC) != 0) return -1;
    const int Pid = fork();
    if (Pid == 0) {
        dup2(P[1], 1);
        std::vector<char*> Args;
        for (auto& A : Argv) Args.push_back(const_cast<char*>(A.c_str()));
        Args.push_back(nullptr);
        execv(Args[0], Args.data());
        _exit(127);
    }
    close(P[1]);
    OutFd = P[0];
    return Pid;
}

std::string ReadLine(int Fd, int TimeoutMs) {
    std::string S;
    while (S.find('\n') == std::string::npos) {
        pollfd P{Fd, POLLIN, 0};
        if (poll(&P, 1, TimeoutMs) <= 0) break;
        char C[256];
        const ssize_t N = read(Fd, C, sizeof C);
        if (N <= 0) break;
        S.append(C, static_cast<std::size_t>(N));
    }
    return S;
}

}  // namespace

int main(int argc, char** argv) {
    const int Count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string Host = "127.0.99.1";
    const std::string Python = "/usr/bin/python3";

    char Tmpl[] = "/tmp/tavrin-bench-XXXXXX";
    if (!mkdtemp(Tmpl)) return 1;
    const std::string Dir = std::string(Tmpl) + "/";
    setenv("XDG_DATA_HOME", Dir.c_str(), 1);
    {
        std::ofstream(Dir + "sink.py") << SinkScript;
        std::ofstream(Dir + "client.py") << ClientScript;
    }

    int SinkOut = -1;
    const int SinkPid = Spawn({Python, Dir + "sink.py", Host, "25"}, SinkOut);
    if (ReadLine(SinkOut, 15000).find("READY") == std::string::npos) {
        std::fprintf(stderr, "sink did not start (port 25 needs root)\n");
        kill(SinkPid, SIGKILL);
        return 1;
    }

    // A message of about 2 KB: a few header lines and 28 lines of 70 bytes.
    std::vector<std::string> Lines{"From: bench@bench.test", "To: sink@[" + Host + "]", "Subject: bench", ""};
    for (int I = 0; I < 28; ++I) Lines.push_back(std::string(68, static_cast<char>('a' + I % 26)) + std::to_string(I % 10));
    std::string Wire;
    for (const auto& L : Lines) Wire += L + "\r\n";
    std::ofstream(Dir + "body.eml", std::ios::binary) << Wire;

    // Baseline: the sink's capacity with a plain client.
    int ClientOut = -1;
    const int ClientPid = Spawn({Python, Dir + "client.py", Host, std::to_string(Count), Dir + "body.eml"}, ClientOut);
    const std::string BaseText = ReadLine(ClientOut, 600000);
    waitpid(ClientPid, nullptr, 0);
    const double Base = std::atof(BaseText.c_str());

    ServerInformation = std::make_unique<TServerInformation>();
    ServerInformation->ServerName = "bench.local.test";
    const std::string Queue = ServerInformation->QueuePath;
    for (int I = 0; I < Count; ++I) {
        std::string T = "[Reverse Path]\r\nFrom=<bench@bench.test>\r\n\r\n[Forward Path]\r\nTo=<sink@[" + Host +
                        "]>\r\n\r\n[Retry]\r\nPerformed=0\r\nRemaining=5\r\n\r\n[Message]\r\n" + Wire;
        std::ofstream(Queue + std::to_string(I) + ".txt", std::ios::binary) << T;
    }

    const long RssBefore = PeakRssKb();
    TSmtpAgent Agent;
    int Failed = 0;
    Agent.OnLog = [&](void*, const std::string& Text, int) {
        if (Text.find("Re-Queueing") != std::string::npos || Text.find("Socket Error") != std::string::npos) ++Failed;
    };
    const auto T0 = std::chrono::steady_clock::now();
    Agent.ServiceQueueNow();
    const auto Scanned = std::chrono::steady_clock::now();
    platform::loop().runUntil([&] { return Agent.ConnectionCount() == 0; }, 300000);
    const auto T1 = std::chrono::steady_clock::now();
    int Waiting = 0;
    for (int I = 0; I < Agent.ConnectionCount(); ++I)
        if (Agent.GetConnection(I)->Connected() && Agent.GetConnection(I)->State() == TSmtpAgentState::Greeting)
            ++Waiting;
    if (Agent.ConnectionCount() > 0)
        std::printf("still open after the bound: %d connections, %d of them connected and waiting for the greeting\n",
                    Agent.ConnectionCount(), Waiting);

    int Left = 0;
    for (const auto& E : std::filesystem::directory_iterator(Queue))
        if (E.is_regular_file()) ++Left;

    const double Took = Seconds(T0, T1);
    std::printf("messages: %d of ~%zu bytes\n", Count, Wire.size());
    std::printf("sink baseline (python smtplib, one connection each): %.2f s, %.1f msg/s\n", Base,
                Base > 0 ? Count / Base : 0.0);
    std::printf("agent: scan %.3f s, all relayed in %.2f s, %.1f msg/s; left in queue %d, failed passes %d\n",
                Seconds(T0, Scanned), Took, Count / Took, Left, Failed);
    std::printf("peak RSS: %ld KB before the agent, %ld KB after\n", RssBefore, PeakRssKb());

    ServerInformation.reset();
    kill(SinkPid, SIGTERM);
    waitpid(SinkPid, nullptr, 0);
    std::filesystem::remove_all(Dir);
    return Left == 0 ? 0 : 2;
}
