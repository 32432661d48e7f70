// What the server benchmarks (server_load.cpp, server_scale.cpp) share: the machine's load beside
// every figure, the budgets lifted for clients that send more than a person could, and the port
// a started server reports.
#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace bench
{

// The one-minute load average, said beside each figure: the machine is shared. 0 if unknown.
inline double loadAverage()
{
    double one = 0;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &one) != 1)
            one = 0;
        std::fclose(f);
    }
    return one;
}

// The server's options that lift a connection's budgets: each client here sends far more than a
// person could.
inline QStringList liftedBudgets()
{
    return {QStringLiteral("--budget-messages"),   QStringLiteral("100000000"),
            QStringLiteral("--budget-deliveries"), QStringLiteral("100000000"),
            QStringLiteral("--budget-store-kb"),   QStringLiteral("100000000")};
}

// Reads a started server's output until its "listening on" line; the port, or 0 when the output
// paused for readMs first or ended without it.
inline quint16 listeningPort(QProcess& server, int readMs)
{
    static const QRegularExpression listening(QStringLiteral("listening on [^:]+:(\\d+)"));
    QString output;
    quint16 port = 0;
    while (port == 0 && server.waitForReadyRead(readMs)) {
        output += QString::fromUtf8(server.readAllStandardOutput());
        const QRegularExpressionMatch m = listening.match(output);
        if (m.hasMatch())
            port = quint16(m.captured(1).toUInt());
    }
    return port;
}

} // namespace bench
