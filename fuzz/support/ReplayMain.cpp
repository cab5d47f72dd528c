// Runs a fuzz target over files and directories of inputs, without libFuzzer, so that any
// compiler can replay a corpus. An input that runs longer than kInputSeconds (a loop that
// never ends) stops the replay with its name, as libFuzzer's -timeout would.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Far above any input's time under sanitizers on a loaded machine.
constexpr std::chrono::seconds kInputSeconds{20};

// Watches the input in progress from a thread of its own.
class Watchdog {
  public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    // Each input gets the full time from here.
    void start(const std::string& input) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            input_ = input;
            ++serial_;
        }
        wake_.notify_one();
    }

  private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            const unsigned long long serial = serial_;
            if (wake_.wait_for(lock, kInputSeconds, [&] { return done_ || serial_ != serial; })) {
                continue;
            }
            std::fprintf(stderr, "input %s still runs after %lld s\n", input_.c_str(),
                         static_cast<long long>(kInputSeconds.count()));
            std::abort();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string input_ = "(none yet)";
    unsigned long long serial_ = 0;
    bool done_ = false;
    std::thread thread_;
};

int replayFile(const std::filesystem::path& p, Watchdog& watchdog) {
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", p.c_str());
        return 1;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    watchdog.start(p.string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int failures = 0;
    int count = 0;
    Watchdog watchdog;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    failures += replayFile(entry.path(), watchdog);
                    ++count;
                }
            }
        } else {
            failures += replayFile(arg, watchdog);
            ++count;
        }
    }
    std::printf("replayed %d inputs\n", count);
    return (failures == 0 && count > 0) ? 0 : 1;
}
