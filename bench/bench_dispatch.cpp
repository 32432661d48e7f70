// Incoming messages dispatched into the message area: the cost of one message must not grow
// with the area. Reports the cost per message of the first and the last thousand of 10,000.
#include "app/SessionState.h"
#include "link/WireProtocol.h"
#include "logon/FrmLogin.h"
#include "mainwindow/FrmWisplineClient.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <ctime>

using namespace wispline;

// CPU time of this thread: the figure should not move with what else the machine runs.
static double cpuMicroseconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

static void BM_DispatchSndIntoMessageArea(benchmark::State& state)
{
    session().PopupDisabled = true; // the area alone: the pop-up costs the same every time
    session().UserName = QStringLiteral("ABC");
    for (auto _ : state) {
        FrmLogin login;
        FrmWisplineClient window(&login);
        constexpr int kTotal = 10000;
        constexpr int kBatch = 1000;
        double first = 0, last = 0;
        for (int batch = 0; batch < kTotal / kBatch; ++batch) {
            const double start = cpuMicroseconds();
            for (int i = 0; i < kBatch; ++i) {
                const wire::InboundMessage m("SND~ZED <- message number " +
                                             QByteArray::number(batch * kBatch + i) +
                                             " of the day [10:32:15]~ExitEnd");
                window.handleInbound(m);
            }
            const double us = (cpuMicroseconds() - start) / kBatch;
            if (batch == 0)
                first = us;
            last = us;
        }
        state.counters["first_1000_us_per_msg"] = first;
        state.counters["last_1000_us_per_msg"] = last;
        state.counters["last_over_first"] = last / first;
    }
}
BENCHMARK(BM_DispatchSndIntoMessageArea)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
