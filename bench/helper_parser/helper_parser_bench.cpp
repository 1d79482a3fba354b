// Strict-parser throughput against RapidJSON on the same bytes, for three request shapes:
// a 240 KiB setComposerText request of ASCII text, the same with non-ASCII NFC text, and a
// request holding 8,192 small values. RapidJSON parses with UTF-8 validation; the strict parser
// additionally checks NFC and duplicate keys. Target: at least half RapidJSON's throughput.
//
// Run: bix_helper_parser_bench [--benchmark_min_time=1]
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/JSONValue.h"
#include "Protocol/StrictJSONParser.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <stdexcept>
#include <string>

namespace {

constexpr std::size_t kTextBytes = bix::ax::HelperProtocolLimits::maximumPromptUTF8Bytes;

std::string requestWithParams(const std::string& paramsJSON) {
    return R"({"command":"setComposerText","params":)" + paramsJSON +
           R"(,"processNonce":"Q2hhdEhvc3ROb25jZTAxMjM0NTY3","protocol":"bix.ax.helper",)"
           R"("protocolVersion":1,"requestId":"req-000042"})";
}

std::string composerRequest(const std::string& escapedText) {
    return requestWithParams(
        R"({"bindingId":"binding_7F3A9C0D2B4E4F1A8C6D5E3F2A1B0C9D","profileHash":")" +
        std::string(64, 'c') + R"(","text":")" + escapedText + "\"}");
}

// Prose with an escaped line break every few sentences and an occasional escaped quotation mark,
// as a pasted prompt has, filled to `bytes` decoded bytes of text.
std::string asciiText(std::size_t bytes) {
    const std::string sentence = "Summarise the attached meeting notes and list the three "
                                 "decisions with their owners. ";
    std::string text;
    std::size_t decoded = 0;
    for (int n = 0; decoded + sentence.size() + 2 <= bytes; ++n) {
        text += sentence;
        decoded += sentence.size();
        if (n % 4 == 3) {
            text += "\\n";
            decoded += 1;
        } else if (n % 9 == 8) {
            text += "\\\"";
            decoded += 1;
        }
    }
    text.append(bytes - decoded, 'x');
    return text;
}

// Non-ASCII NFC text: accented Latin, Greek, Cyrillic, CJK and Hangul syllables.
std::string nonASCIIText(std::size_t bytes) {
    const std::string sentence = "R\xc3\xa9sum\xc3\xa9 f\xc3\xbcr die Gr\xc3\xb6\xc3\x9f"
                                 "e \xce\xb1\xce\xb2\xce\xb3 \xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2"
                                 "\xd0\xb5\xd1\x82 \xe4\xbc\x9a\xe8\xad\xb0\xe3\x81\xae\xe8\xa6"
                                 "\x81\xe7\xb4\x84 \xed\x95\x9c\xea\xb5\xad\xec\x96\xb4. ";
    std::string text;
    while (text.size() + sentence.size() <= bytes) {
        text += sentence;
    }
    text.append(bytes - text.size(), 'x');
    return text;
}

// A request whose whole document holds exactly 8,192 values: the request object, its six
// members, and a params object with one array of small values.
std::string manyValuesRequest() {
    constexpr int kValues = 8192 - 8;
    std::string array = "[";
    for (int i = 0; i < kValues; ++i) {
        if (i > 0) {
            array += ',';
        }
        switch (i % 4) {
        case 0:
            array += std::to_string(i);
            break;
        case 1:
            array += "\"v" + std::to_string(i) + "\"";
            break;
        case 2:
            array += i % 8 == 2 ? "true" : "null";
            break;
        default:
            array += std::to_string(i) + ".5";
            break;
        }
    }
    array += "]";
    return requestWithParams(R"({"values":)" + array + "}");
}

const std::map<std::string, std::string>& inputs() {
    static const std::map<std::string, std::string> all{
        {"ascii_240KiB", composerRequest(asciiText(kTextBytes))},
        {"nonascii_nfc_240KiB", composerRequest(nonASCIIText(kTextBytes))},
        {"values_8192", manyValuesRequest()},
    };
    return all;
}

void reportThroughput(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void strictParser(benchmark::State& state, const std::string& name) {
    const std::string& data = inputs().at(name);
    const bix::ax::StrictJSONParser parser(32, 8192);
    for (auto _ : state) {
        bix::ax::JSONValue value = parser.parse(data);
        benchmark::DoNotOptimize(value);
    }
    reportThroughput(state, data.size());
}

void rapidJSON(benchmark::State& state, const std::string& name) {
    const std::string& data = inputs().at(name);
    for (auto _ : state) {
        rapidjson::Document document;
        document.Parse<rapidjson::kParseValidateEncodingFlag>(data.data(), data.size());
        if (document.HasParseError()) {
            state.SkipWithError(rapidjson::GetParseError_En(document.GetParseError()));
            break;
        }
        benchmark::DoNotOptimize(document);
    }
    reportThroughput(state, data.size());
}

// Collects MB/s per run so the pairs can be printed side by side after the usual table.
class SideBySideReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const auto counter = run.counters.find("MB/s");
            if (counter != run.counters.end() && run.run_type == Run::RT_Iteration) {
                megabytesPerSecond_[run.benchmark_name()] = counter->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printSummary() const {
        std::printf("\n%-22s %14s %14s %8s\n", "input", "strict MB/s", "rapidjson MB/s", "ratio");
        for (const auto& [name, data] : inputs()) {
            const double strict = lookup("strict/" + name);
            const double rapid = lookup("rapidjson/" + name);
            if (strict <= 0 || rapid <= 0) {
                continue; // filtered out of this run
            }
            std::printf("%-22s %14.1f %14.1f %8.2f%s\n", name.c_str(), strict, rapid,
                        strict / rapid, strict / rapid >= 0.5 ? "" : "  (below target 0.50)");
        }
    }

private:
    double lookup(const std::string& name) const {
        const auto found = megabytesPerSecond_.find(name);
        return found == megabytesPerSecond_.end() ? 0.0 : found->second;
    }
    std::map<std::string, double> megabytesPerSecond_;
};

} // namespace

int main(int argc, char** argv) {
    try {
        const bix::ax::StrictJSONParser parser(32, 8192);
        for (const auto& [name, data] : inputs()) {
            parser.parse(data); // every input must be one the helper accepts
            std::printf("%s: %zu bytes\n", name.c_str(), data.size());
            benchmark::RegisterBenchmark(("strict/" + name).c_str(), strictParser, name);
            benchmark::RegisterBenchmark(("rapidjson/" + name).c_str(), rapidJSON, name);
        }
        benchmark::Initialize(&argc, argv);
        SideBySideReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reporter.printSummary();
        benchmark::Shutdown();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bix_helper_parser_bench: %s\n", error.what());
        return 1;
    }
}
