// Quick start: open a thermal camera in-process, measure, render and record.
//
//     quickstart [output directory]
//
// No camera needed: the program plugs in a simulated one that looks at a warm square (45 degC)
// in front of a cooler gradient, and writes that camera's calibration set into a temporary
// directory. Everything after that is what an application does with a real camera:
//   1. find the camera's video device and initialise a zol::Kelvix for it,
//   2. stream a few seconds, through the first shutter-flag cycles, recording the raw frames,
//   3. print the frame size, the frame rate, the centre temperature and the hottest region,
//   4. write a false-colour image (PPM),
//   5. replay the recording with zol::IRFileReader and print its centre temperature again.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kelvix/FramerateCounter.h"
#include "kelvix/IRDeviceDS.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/IRFileReader.h"
#include "kelvix/IRFileWriter.h"
#include "kelvix/IRLogger.h"
#include "kelvix/ImageBuilder.h"
#include "kelvix/Kelvix.h"
#include "kelvix/KelvixClient.h"

// The simulated camera (test and demonstration infrastructure, not part of the SDK).
#include "CalibrationSetWriter.h"
#include "SimCamera.h"
#include "SimHid.h"
#include "SimPhysics.h"
#include "SimVideo.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSerial = 20240001;
constexpr float kTarget = 45.0f;  // the warm square in the middle of the scene, degC

// Temperature images hold raw = T * 10 + 1000 (T in degC).
float celsius(unsigned short raw) {
    return (raw - 1000) / 10.0f;
}

// Camera parameters that free their strings when they go.
struct Parameters : zol::IRDeviceParams {
    ~Parameters() { releaseStrings(); }
};

// The parameters own their strings as wide-character arrays.
wchar_t* wideCopy(const fs::path& path) {
    const std::wstring text = path.wstring();
    wchar_t* copy = new wchar_t[text.size() + 1];
    std::copy(text.begin(), text.end(), copy);
    copy[text.size()] = L'\0';
    return copy;
}

// A simulated camera, plugged in for the lifetime of this object: its control channel (HID),
// its video channel and its calibration files.
struct SimulatedCamera {
    explicit SimulatedCamera(const fs::path& calibrationDirectory) {
        camera = std::make_shared<sim::SimCamera>(kSerial);
        sim::SimPhysics& physics = sim::SimPhysics::of(*camera);
        const sim::SimRawLayout& layout = physics.layout();
        camera->video.capabilities = {{layout.rawWidth(), layout.rawHeight(), 333333}};  // 30 Hz
        const sim::CalibrationSet set = sim::CalibrationSet::standard();
        physics.setModel(set.optics[0].ranges[0].model);  // -20 .. 100 degC, selected below
        physics.setBlackbodyScene(kTarget, 15.0f, 30.0f);
        written = sim::CalibrationSetWriter(*camera, set).writeAll(calibrationDirectory.string());
        hid.addCamera(camera);
        video.attach(camera);
    }

    std::shared_ptr<sim::SimCamera> camera;
    sim::SimHidBackend hid;
    platform::ScopedHidBackend scopedHid{hid};
    sim::ScopedSimVideo video;
    bool written = false;
};

// The application's side of the camera: the video device hands every raw frame to
// onRawFrame (on its capture thread), which passes it to the imager and the recording; the
// imager answers with a temperature image in onThermalFrame.
class Viewer : public zol::KelvixClient {
  public:
    Viewer(zol::Kelvix& imager, zol::IRFileWriter& recording)
        : imager_(imager), recording_(recording) {}

    void onRawFrame(unsigned char* data, int size) override {
        // The imager drops a sample that is no raw frame of its size; so does the recording.
        imager_.process(data, size, nullptr);
        if (!imager_.holdsRawFrame(size)) {
            return;
        }
        char metadata[80] = {};
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start_;
        recording_.write(t.count(), data, 1, static_cast<unsigned>(size), metadata);
        ++recorded_;
    }

    void onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                        zol::IRFrameMetadata meta, void* arg) override {
        std::lock_guard<std::mutex> lock(mutex_);
        image_.assign(data, data + static_cast<std::size_t>(width) * height);
        width_ = width;
        height_ = height;
        rate_.trigger(nullptr);
    }

    void onFlagStateChange(zol::EnumFlagState state, void* arg) override {
        std::printf("shutter flag %s\n", state == zol::FlagOpen ? "open" : "closed");
        if (state == zol::FlagOpen) {
            ++flagCycles_;
        }
    }

    void onProcessExit(void* arg) override {}

    int flagCycles() const { return flagCycles_; }
    int recordedFrames() const { return recorded_; }
    double frameRate() { return rate_.getFps(); }
    // The latest temperature image; false before the first one.
    bool latest(std::vector<unsigned short>& image, unsigned& width, unsigned& height) {
        std::lock_guard<std::mutex> lock(mutex_);
        image = image_;
        width = width_;
        height = height_;
        return !image.empty();
    }

  private:
    zol::Kelvix& imager_;
    zol::IRFileWriter& recording_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<int> flagCycles_{0};
    std::atomic<int> recorded_{0};
    std::mutex mutex_;
    std::vector<unsigned short> image_;
    unsigned width_ = 0, height_ = 0;
    zol::FramerateCounter rate_{1000, 10};  // the last ten frames
};

// Replayed frames arrive through a plain callback; it keeps the last one here.
std::vector<unsigned short> replayed;
unsigned replayedWidth = 0, replayedHeight = 0;

void onReplayedFrame(unsigned short* data, unsigned int width, unsigned int height,
                     zol::IRFrameMetadata meta, void* arg) {
    replayed.assign(data, data + static_cast<std::size_t>(width) * height);
    replayedWidth = width;
    replayedHeight = height;
}

// The name IRFileWriter gives a recording: "<dir>/ir_<serial>_<YYYYMMDD>_<HHMMSS>.raw".
fs::path recordingName(const fs::path& directory, std::uint32_t serial, std::time_t start) {
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", std::localtime(&start));
    return directory / ("ir_" + std::to_string(serial) + "_" + stamp + ".raw");
}

bool writePPM(const fs::path& file, zol::ImageBuilder& image) {
    const unsigned w = image.getWidth(), h = image.getHeight();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 3);
    image.setPalette(zol::eIron);
    image.convertTemperatureToPaletteImage(pixels.data(), true);  // blue, green, red
    for (std::size_t i = 0; i < pixels.size(); i += 3) {
        std::swap(pixels[i], pixels[i + 2]);  // PPM wants red, green, blue
    }
    return zol::ImageBuilder::serializePPM(file.string().c_str(), pixels.data(), w, h) == 1;
}

int run(const fs::path& output, const fs::path& calibration) {
    SimulatedCamera simulated(calibration);
    if (!simulated.written) {
        std::fprintf(stderr, "cannot write the calibration set to %s\n",
                     calibration.string().c_str());
        return 1;
    }
    std::printf("calibration set of camera %u in %s\n", kSerial, calibration.string().c_str());

    // 1. The camera's parameters (usually read from its XML configuration file with
    //    zol::IRDeviceParamsReader), its video device and the imager.
    Parameters params;
    params.serial = kSerial;
    params.caliPath = wideCopy(calibration);
    params.formatsPath = wideCopy(calibration);
    params.tMin = -20;
    params.tMax = 100;
    params.framerate = 30.0f;
    std::unique_ptr<zol::IRDeviceDS> device(zol::IRDeviceDS::createInstance(params));
    if (!device) {
        std::fprintf(stderr, "camera %u not found\n", kSerial);
        return 1;
    }
    zol::Kelvix imager;
    if (!imager.init(&params, device->getFrequency(), device->getWidth(), device->getHeight(),
                     device->controlledViaHID())) {
        std::fprintf(stderr, "cannot initialise the imager (see the log above)\n");
        return 1;
    }

    // 2. Stream and record until the imager's first shutter-flag cycles are over (one at
    //    start, one about three seconds later), then a moment more.
    zol::RawdataHeader header;
    imager.initRawdataHeader(header);
    const std::time_t start = std::time(nullptr);
    const fs::path rawFile = recordingName(output, kSerial, start);
    std::unique_ptr<zol::IRFileWriter> recording(
        new zol::IRFileWriter(start, output.string().c_str(), header));
    if (!recording->open()) {
        std::fprintf(stderr, "cannot create a recording in %s\n", output.string().c_str());
        return 1;
    }
    Viewer viewer(imager, *recording);
    imager.setClient(&viewer);
    device->setClient(&viewer);
    if (device->startStreaming() != 0) {
        std::fprintf(stderr, "the camera does not stream\n");
        return 1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (viewer.flagCycles() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    device->stopStreaming();
    device->setClient(nullptr);
    imager.setClient(nullptr);
    recording.reset();  // closes the files

    // 3. Measure the latest image.
    std::vector<unsigned short> image;
    unsigned width = 0, height = 0;
    if (!viewer.latest(image, width, height)) {
        std::fprintf(stderr, "no temperature image arrived\n");
        return 1;
    }
    zol::ImageBuilder builder(false);
    builder.setData(width, height, image.data());
    zol::ExtremalRegion coldest, hottest;
    builder.getMinMaxRegion(3, &coldest, &hottest);
    std::printf("frame size: %u x %u pixels\n", width, height);
    std::printf("frame rate: %.1f Hz (camera %u Hz)\n", viewer.frameRate(), device->getFrequency());
    std::printf("centre: %.1f degC\n", builder.getTemperatureAt(width / 2, height / 2));
    std::printf("hottest region: %.1f degC, pixels (%u, %u) to (%u, %u)\n", hottest.temperature,
                hottest.x1, hottest.y1, hottest.x2, hottest.y2);

    // 4. False colours.
    const fs::path ppm = output / "quickstart.ppm";
    if (!writePPM(ppm, builder)) {
        std::fprintf(stderr, "cannot write %s\n", ppm.string().c_str());
        return 1;
    }
    std::printf("false-colour image: %s\n", ppm.string().c_str());
    std::printf("raw recording: %s (%d frames)\n", rawFile.string().c_str(),
                viewer.recordedFrames());

    // 5. Replay: the reader fills the parameters from the recording's header and runs the
    //    frames through an imager of its own; only the calibration files are ours to name.
    Parameters replayParams;
    replayParams.caliPath = wideCopy(calibration);
    replayParams.formatsPath = wideCopy(calibration);
    zol::IRFileReader reader(rawFile.string(), replayParams);
    if (!reader.isReady()) {
        std::fprintf(stderr, "cannot replay %s\n", rawFile.string().c_str());
        return 1;
    }
    reader.setThermalFrameCallback(onReplayedFrame);
    while (reader.nextFrame()) {
    }
    if (replayed.empty()) {
        std::fprintf(stderr, "no frame replayed\n");
        return 1;
    }
    std::printf("replayed centre: %.1f degC\n",
                celsius(replayed[(replayedHeight / 2) * replayedWidth + replayedWidth / 2]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Errors of the library go to the console.
    zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, nullptr);

    const fs::path output = argc > 1 ? fs::path(argv[1]) : fs::current_path();
    std::error_code error;
    fs::create_directories(output, error);
    std::random_device random;
    const fs::path calibration =
        fs::temp_directory_path() / ("kelvix-quickstart-" + std::to_string(random()));
    if (!fs::create_directories(calibration, error)) {
        std::fprintf(stderr, "cannot create %s\n", calibration.string().c_str());
        return 1;
    }
    const int result = run(output, calibration);
    fs::remove_all(calibration, error);
    return result;
}
