// How long the settings file and the log channel take: reading and writing the
// settings happens on the GUI thread at start-up and on every Save, and every
// log line of a busy serial exchange goes through the channel.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include "shell/ini_file.h"
#include "shell/log_channel.h"
#include "shell/settings_store.h"

namespace {

std::string FactoryWithComments(int extraLines) {
    std::string text = kv::FactorySettingsText();
    text += "\r\n[Notes]\r\n";
    for (int i = 0; i < extraLines; ++i) text += "; observer note " + std::to_string(i) + "\r\nkey" + std::to_string(i) + "=value\r\n";
    return text;
}

void BM_ParseSettingsFile(benchmark::State& state) {
    const std::string text = FactoryWithComments(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kv::IniFile::Parse(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseSettingsFile)->Arg(0)->Arg(1000);

void BM_ReadSettings(benchmark::State& state) {
    const kv::IniFile ini = kv::IniFile::Parse(kv::FactorySettingsText());
    for (auto _ : state) benchmark::DoNotOptimize(kv::ReadSettings(ini));
}
BENCHMARK(BM_ReadSettings);

void BM_WriteSettingsText(benchmark::State& state) {
    const kv::IniFile base = kv::IniFile::Parse(FactoryWithComments(static_cast<int>(state.range(0))));
    const kv::Settings s = kv::ReadSettings(base);
    for (auto _ : state) {
        kv::IniFile ini = base;
        kv::WriteSettings(ini, s);
        benchmark::DoNotOptimize(ini.Text());
    }
}
BENCHMARK(BM_WriteSettingsText)->Arg(0)->Arg(1000);

// One producer posting, the consumer draining as the GUI thread would.
void BM_LogChannelPostAndDrain(benchmark::State& state) {
    auto& channel = kv::LogChannel::Instance();
    channel.SetWakeUp({});
    const std::string line = "TX:  :F+#";
    std::size_t drained = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) channel.Post(line, kv::kComLog);
        drained += channel.TakePending().size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(drained));
}
BENCHMARK(BM_LogChannelPostAndDrain);

}  // namespace

BENCHMARK_MAIN();
