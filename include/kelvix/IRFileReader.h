// Playback of raw recordings through an imager of its own, for applications and the quick-start
// example. Not guarded: construct, play and destroy it from one thread.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "kelvix/IRDeviceParams.h"
#include "kelvix/Kelvix.h"
#include "kelvix/KelvixClient.h"
#include "kelvix/RawdataHeader.h"
#include "kelvix/export.h"

namespace zol {

class CallbackGuard;

// Plays a raw recording (see IRFileWriter) back through an imager of its own: the header
// configures the imager, and each nextFrame() runs the next recorded frame through it, so the
// callbacks receive temperature images as they did when the camera was live. Construction
// runs the recording until the imager hands out its first image, after the first flag cycle
// (the flag correction takes its reference from the closed flag), and then starts over at the
// first frame; a recording without a flag cycle leaves the reader not ready.
class KELVIX_API IRFileReader : public KelvixClient {
  public:
    // Reads the header of `path`, fills serial, fov, temperature range and frame rate of
    // `params` from it and initialises the imager with them (the calibration directories of
    // `params` are used as given). isReady() tells whether that worked.
    IRFileReader(std::string path, IRDeviceParams& params);
    ~IRFileReader() override;
    IRFileReader(const IRFileReader&) = delete;
    IRFileReader& operator=(const IRFileReader&) = delete;

    // Receiver of its own imager, on the thread that calls nextFrame().
    void onRawFrame(unsigned char* /*data*/, int /*size*/) override {}
    void onThermalFrame(unsigned short* data, unsigned int width, unsigned int height,
                        IRFrameMetadata meta, void* arg) override;
    void onFlagStateChange(EnumFlagState state, void* arg) override;
    void onProcessExit(void* /*arg*/) override {}

    // True when the header was valid, the imager initialised and the warm-up saw an image.
    virtual bool isReady();

    // Raw frame size, serial and rate as the header gives them.
    unsigned getWidth();
    unsigned getHeight();
    unsigned getSerial();
    // Frames per second of the recording; 0 when it has no valid frame period.
    unsigned getFrequency();
    // Bytes of one raw frame.
    unsigned getRawBufferSize();

    // Runs the next frame through the imager, continuing into the recording's next part
    // ("<path>.2", "<path>.3", ...) at the end of one; false after the last frame. The
    // callbacks run inside this call, on the calling thread.
    bool nextFrame();

    // Receivers of the played images and flag changes (images only once the reader is ready).
    // What they throw is caught and logged as an ERROR (once); playing goes on.
    void setThermalFrameCallback(ThermalFrameCallback callback);
    void setFlagStateCallback(FlagStateChangeCallback callback);
    // Emissivity and transmissivity of the played scene, from the next frame on.
    void setRadiationParameters(float emissivity, float transmissivity);

  private:
    bool read(unsigned char* frame, char metadata[80]);
    void reset();
    // Reads and checks the header of the freshly opened input; false (logged) when invalid.
    bool readHeader(const std::string& name, RawdataHeader& out, std::uint32_t& outFrameSize);
    bool openNextPart();
    bool holdsOneFrame(const RawdataHeader& checked, std::uint32_t size);

    bool ready;
    std::unique_ptr<std::ifstream> input;
    std::string path;
    RawdataHeader header;
    int partNumber;
    std::uint32_t frameSize;
    std::unique_ptr<unsigned char[]> frameBuffer;
    bool imageSeen;  // the imager handed out an image during the warm-up
    ThermalFrameCallback thermalFrameCallback;
    FlagStateChangeCallback flagStateCallback;
    std::unique_ptr<CallbackGuard> guard;
    Kelvix imager;
};

}  // namespace zol
