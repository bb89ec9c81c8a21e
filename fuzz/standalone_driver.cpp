// A small stand-in for libFuzzer's main, for machines without clang: it feeds
// LLVMFuzzerTestOneInput with random inputs and mutations of a corpus, from a fixed seed.
// No coverage feedback; the flags follow libFuzzer's names so fuzz/run.sh treats both alike.
//
//   standalone_driver [-runs=N] [-max_total_time=S] [-seed=N] [-max_len=N]
//                     [-artifact_prefix=DIR/] [-dict=FILE] [CORPUS_DIR_OR_FILE ...]
//
// With files and neither -runs nor -max_total_time, each file is run once (reproducing a
// crash). On a sanitizer report or abort the current input is written to
// <artifact_prefix>crash-<hash> before the process dies.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes* g_current = nullptr;
std::string g_artifact_prefix = "./";

std::uint64_t fnv1a(const Bytes& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::uint8_t b : bytes) hash = (hash ^ b) * 0x100000001b3ULL;
    return hash;
}

// Runs on a sanitizer report, and from the SIGABRT handler: saves the input under way.
void save_current_input() {
    static bool saved = false;
    if (saved || g_current == nullptr) return;
    saved = true;
    char name[64];
    std::snprintf(name, sizeof name, "crash-%016llx", static_cast<unsigned long long>(fnv1a(*g_current)));
    const std::string path = g_artifact_prefix + name;
    if (FILE* out = std::fopen(path.c_str(), "wb")) {
        std::fwrite(g_current->data(), 1, g_current->size(), out);
        std::fclose(out);
        std::fprintf(stderr, "==== standalone_driver: input written to %s\n", path.c_str());
    }
}

extern "C" void on_abort(int) {
    save_current_input();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Entries of a libFuzzer dictionary: "..." with \xNN and \\ \" escapes.
std::vector<Bytes> read_dictionary(const std::string& path) {
    std::vector<Bytes> entries;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto open = line.find('"');
        const auto close = line.rfind('"');
        if (line.empty() || line[0] == '#' || open == std::string::npos || close <= open) continue;
        Bytes entry;
        for (std::size_t k = open + 1; k < close; ++k) {
            if (line[k] == '\\' && k + 1 < close) {
                if (line[k + 1] == 'x' && k + 3 < close) {
                    entry.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(k + 2, 2), nullptr, 16)));
                    k += 3;
                } else {
                    entry.push_back(static_cast<std::uint8_t>(line[++k]));
                }
            } else {
                entry.push_back(static_cast<std::uint8_t>(line[k]));
            }
        }
        if (!entry.empty()) entries.push_back(entry);
    }
    return entries;
}

class Mutator {
public:
    Mutator(std::uint64_t seed, std::size_t max_len, std::vector<Bytes> dictionary)
        : rng_(seed), max_len_(max_len), dictionary_(std::move(dictionary)) {}

    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : rng_() % bound; }

    Bytes random_input() {
        // Mostly short inputs: the interesting structure is near the front.
        const std::size_t cap = below(4) == 0 ? max_len_ : std::min<std::size_t>(max_len_, 96);
        Bytes out(below(cap + 1));
        for (auto& b : out) b = static_cast<std::uint8_t>(rng_());
        return out;
    }

    Bytes mutate(Bytes input, const std::vector<Bytes>& pool) {
        const std::size_t rounds = 1 + below(6);
        for (std::size_t r = 0; r < rounds; ++r) mutate_once(input, pool);
        if (input.size() > max_len_) input.resize(max_len_);
        return input;
    }

private:
    static constexpr std::uint8_t kInteresting[] = {0x00, 0x01, 0x7f, 0x80, 0xf0, 0xf3, 0xf4,
                                                    0xf5, 0xf7, 0xfe, 0xff, 0x08, 0x10, 0x18};

    void insert(Bytes& input, const Bytes& piece) {
        const std::size_t at = below(input.size() + 1);
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
    }

    void mutate_once(Bytes& input, const std::vector<Bytes>& pool) {
        switch (below(11)) {
            case 0:  // flip a bit
                if (!input.empty()) input[below(input.size())] ^= static_cast<std::uint8_t>(1u << below(8));
                break;
            case 1:  // a random byte
                if (!input.empty()) input[below(input.size())] = static_cast<std::uint8_t>(rng_());
                break;
            case 2:  // an interesting byte
                if (!input.empty()) input[below(input.size())] = kInteresting[below(std::size(kInteresting))];
                break;
            case 3:  // the control header
                if (!input.empty()) input[below(std::min<std::size_t>(5, input.size()))] = static_cast<std::uint8_t>(rng_());
                break;
            case 4:  // a dictionary entry, inserted or written over
                if (!dictionary_.empty()) {
                    const Bytes& entry = dictionary_[below(dictionary_.size())];
                    if (below(2) == 0 || input.size() < entry.size()) {
                        insert(input, entry);
                    } else {
                        std::copy(entry.begin(), entry.end(), input.begin() + static_cast<std::ptrdiff_t>(below(input.size() - entry.size() + 1)));
                    }
                }
                break;
            case 5: {  // erase a range
                if (input.empty()) break;
                const std::size_t at = below(input.size());
                const std::size_t count = 1 + below(std::min<std::size_t>(16, input.size() - at));
                input.erase(input.begin() + static_cast<std::ptrdiff_t>(at), input.begin() + static_cast<std::ptrdiff_t>(at + count));
                break;
            }
            case 6: {  // duplicate a range (repeats make ties and periodic shapes)
                if (input.empty()) break;
                const std::size_t at = below(input.size());
                const std::size_t count = 1 + below(std::min<std::size_t>(32, input.size() - at));
                const Bytes piece(input.begin() + static_cast<std::ptrdiff_t>(at), input.begin() + static_cast<std::ptrdiff_t>(at + count));
                for (std::size_t t = 0, times = 1 + below(4); t < times; ++t) insert(input, piece);
                break;
            }
            case 7: {  // random bytes inserted
                Bytes piece(1 + below(16));
                for (auto& b : piece) b = static_cast<std::uint8_t>(rng_());
                insert(input, piece);
                break;
            }
            case 8:  // splice with another corpus entry
                if (!pool.empty()) {
                    const Bytes& other = pool[below(pool.size())];
                    const std::size_t cut = below(input.size() + 1);
                    const std::size_t from = below(other.size() + 1);
                    input.resize(cut);
                    input.insert(input.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
                }
                break;
            case 9:  // truncate
                input.resize(below(input.size() + 1));
                break;
            default:  // add or subtract a little from one byte
                if (!input.empty()) input[below(input.size())] += static_cast<std::uint8_t>(below(9)) - 4;
                break;
        }
    }

    std::mt19937_64 rng_;
    std::size_t max_len_;
    std::vector<Bytes> dictionary_;
};

bool flag(const char* arg, const char* name, std::string& value) {
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0) return false;
    value = arg + length;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long long runs = -1;
    double max_time = -1;
    std::uint64_t seed = 1;
    std::size_t max_len = 2048;
    std::string dictionary_path;
    std::vector<std::string> inputs;
    for (int k = 1; k < argc; ++k) {
        std::string value;
        if (flag(argv[k], "-runs=", value)) runs = std::stoll(value);
        else if (flag(argv[k], "-max_total_time=", value)) max_time = std::stod(value);
        else if (flag(argv[k], "-seed=", value)) seed = std::stoull(value);
        else if (flag(argv[k], "-max_len=", value)) max_len = std::stoull(value);
        else if (flag(argv[k], "-artifact_prefix=", value)) g_artifact_prefix = value;
        else if (flag(argv[k], "-dict=", value)) dictionary_path = value;
        else if (argv[k][0] == '-') std::fprintf(stderr, "standalone_driver: ignoring flag %s\n", argv[k]);
        else inputs.push_back(argv[k]);
    }
    __sanitizer_set_death_callback(save_current_input);
    std::signal(SIGABRT, on_abort);

    std::vector<Bytes> pool;
    std::vector<std::filesystem::path> files;
    for (const std::string& input : inputs) {
        if (std::filesystem::is_directory(input)) {
            for (const auto& entry : std::filesystem::directory_iterator(input)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else {
            files.push_back(input);
        }
    }
    std::sort(files.begin(), files.end());

    const auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(); };
    long long executions = 0;
    auto run_one = [&](const Bytes& input) {
        g_current = &input;
        LLVMFuzzerTestOneInput(input.data(), input.size());
        g_current = nullptr;
        ++executions;
    };

    if (runs < 0 && max_time < 0 && !files.empty()) {
        for (const auto& file : files) {
            const Bytes input = read_file(file);
            std::fprintf(stderr, "Running: %s\n", file.c_str());
            run_one(input);
        }
        std::fprintf(stderr, "Executed %zu inputs\n", files.size());
        return 0;
    }
    if (runs < 0 && max_time < 0) runs = 100000;

    for (const auto& file : files) {
        Bytes input = read_file(file);
        if (input.size() > max_len) input.resize(max_len);
        run_one(input);
        pool.push_back(std::move(input));
    }
    const std::size_t seeds = pool.size();
    std::fprintf(stderr, "standalone_driver: seed %llu, %zu corpus inputs, max_len %zu\n",
                 static_cast<unsigned long long>(seed), seeds, max_len);

    Mutator mutator(seed, max_len, dictionary_path.empty() ? std::vector<Bytes>{} : read_dictionary(dictionary_path));
    double next_report = 10;
    while ((runs < 0 || executions < runs) && (max_time < 0 || elapsed() < max_time)) {
        Bytes input = pool.empty() || mutator.below(8) == 0
                          ? mutator.random_input()
                          : mutator.mutate(pool[mutator.below(pool.size())], pool);
        run_one(input);
        // Without coverage feedback the pool is a bounded sample of what was tried: the
        // corpus stays, and a few generated inputs rotate through the remaining slots.
        if (mutator.below(32) == 0) {
            if (pool.size() < seeds + 1024) pool.push_back(std::move(input));
            else pool[seeds + mutator.below(1024)] = std::move(input);
        }
        if (elapsed() >= next_report) {
            std::fprintf(stderr, "#%lld\texecs: %lld in %.0f s, %.0f/s\n", executions, executions, elapsed(),
                         executions / elapsed());
            next_report *= 2;
        }
    }
    std::fprintf(stderr, "Done %lld runs in %.0f second(s)\n", executions, elapsed());
    return 0;
}
