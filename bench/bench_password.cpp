// The cost of a password check: the key derivation of a full check (100,000 rounds of
// PBKDF2-HMAC-SHA256 by default) by OpenSSL, as the server does it, and by Qt, as it did before;
// and the fast verifier that answers a log-on after a full check succeeded.
#include "base/Crypto.h"
#include "store/Accounts.h"
#include "store/Verifiers.h"

#include <QPasswordDigestor>
#include <benchmark/benchmark.h>

using namespace wispline::server;

namespace
{

const QByteArray kPassword = QByteArrayLiteral("correct horse");
const QByteArray kSalt(16, 's');

void BM_FullCheckOpenSsl(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(
            crypto::pbkdf2Sha256(kPassword, kSalt, Accounts::kDefaultKdfIterations));
}
BENCHMARK(BM_FullCheckOpenSsl)->Unit(benchmark::kMillisecond);

void BM_FullCheckQt(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QPasswordDigestor::deriveKeyPbkdf2(
            QCryptographicHash::Sha256, kPassword, kSalt, Accounts::kDefaultKdfIterations, 32));
}
BENCHMARK(BM_FullCheckQt)->Unit(benchmark::kMillisecond);

void BM_VerifierHit(benchmark::State& state)
{
    const QByteArray key(32, 'k');
    Account account;
    account.name = QStringLiteral("ALICE");
    account.level = 1;
    account.salt = kSalt;
    account.iterations = Accounts::kDefaultKdfIterations;
    const QByteArray stored = Verifiers::verifierOf(key, account, kPassword);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            crypto::sameBytes(Verifiers::verifierOf(key, account, kPassword), stored));
}
BENCHMARK(BM_VerifierHit)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
