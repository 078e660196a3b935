// The ASCOM library's JSON reader on a recorded stream of Alpaca replies
// (the fuzzer's seeds: DeviceState, configured devices, a value, an error, a
// discovery answer), each reply a document of its own as the library reads
// them, against RapidJSON's SAX reader on the same bytes with the same
// language (UTF-8 checked, full-precision numbers) as its floor. Both
// consumers only count the events.
#include "JsonStream.h"

#include <benchmark/benchmark.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> RecordedReplies()
{
    static const char *const kNames[] = {"devicestate", "configureddevices", "value-reply", "error-reply", "discovery"};
    std::vector<std::string> replies;
    for (const char *name : kNames) {
        std::string path = std::string(ASCOM_REPLIES_DIR) + "/" + name + ".json", text;
        FILE *f = fopen(path.c_str(), "rb");
        if (f == NULL)
            return {};
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        fclose(f);
        replies.push_back(text.substr(1)); // the fuzzer's piece-size byte
    }
    return replies;
}

size_t TotalBytes(const std::vector<std::string> &replies)
{
    size_t total = 0;
    for (const std::string &r : replies)
        total += r.size();
    return total;
}

void CountEvent(void *context, const JsonEvent *) { ++*(long *)context; }

JsonReader gReader;

void Ascom_ParseReplies(benchmark::State &state)
{
    const std::vector<std::string> replies = RecordedReplies();
    if (replies.empty())
        return state.SkipWithError("no recorded replies");
    long events = 0;
    const JsonEvents handlers = {&events, CountEvent, NULL, NULL};
    for (auto _ : state) {
        for (const std::string &reply : replies) {
            JsonReset(&gReader, &handlers);
            JsonFeed(&gReader, reply.data(), reply.size());
            if (!JsonFinish(&gReader))
                return state.SkipWithError("the reader rejects a reply");
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * TotalBytes(replies)));
    benchmark::DoNotOptimize(events);
}
BENCHMARK(Ascom_ParseReplies);

struct Counter : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Counter> {
    long events = 0;
    bool Default() { return ++events, true; }
};

void Floor_RapidJsonParseReplies(benchmark::State &state)
{
    const std::vector<std::string> replies = RecordedReplies();
    if (replies.empty())
        return state.SkipWithError("no recorded replies");
    Counter counter;
    rapidjson::Reader reader;
    const unsigned kFlags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag;
    for (auto _ : state) {
        for (const std::string &reply : replies) {
            rapidjson::MemoryStream stream(reply.data(), reply.size());
            if (reader.Parse<kFlags>(stream, counter).IsError())
                return state.SkipWithError("RapidJSON rejects a reply");
        }
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * TotalBytes(replies)));
    benchmark::DoNotOptimize(counter.events);
}
BENCHMARK(Floor_RapidJsonParseReplies);

} // namespace
