// The base of every operator of the chain (OpBase) and the frame records that travel
// between them. Operators run on the capture thread, or behind post-processing on its worker.

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imgproc/SharedParameterBlock.h"
#include "kelvix/export.h"
#include "platform/HResult.h"

#pragma pack(push, 1)
// Per-frame metadata that travels with every frame (little-endian, no padding). The record is
// 78 bytes with one analog entry; further 2-byte analog entries follow it in the same block.
struct FrameMetadataRecord {
    std::uint16_t recordSize;
    std::uint32_t frameCounter;
    std::uint32_t hwFrameCounter;
    std::int64_t timestamp;
    std::int64_t frameNumber;
    std::int32_t flagState;
    std::uint32_t settleMarker;
    float tempChip;
    float tempFlag;
    float tempBox;
    float tempOptics;
    std::uint16_t headerWord;
    std::uint8_t reserved[16];
    std::uint16_t digitalInputCount;
    std::uint32_t digitalInputBits;
    std::uint16_t analogCount;
    std::uint16_t analogValue0;

    static constexpr std::size_t kFixedSize = 78;
    static constexpr std::size_t kAnalogOffset = 76;

    // Size of a record holding `analogCount` analog entries.
    static std::size_t sizeFor(unsigned analogCount) {
        return analogCount == 0 ? kFixedSize : kAnalogOffset + 2u * analogCount;
    }
    // Analog entry `i`, read or written unchecked (the record must hold it): any thread, on a
    // record the caller guards.
    std::uint16_t analog(unsigned i) const {
        std::uint16_t v;
        std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(this) + kAnalogOffset + 2u * i, 2);
        return v;
    }
    void setAnalog(unsigned i, std::uint16_t v) {
        std::memcpy(reinterpret_cast<std::uint8_t*>(this) + kAnalogOffset + 2u * i, &v, 2);
    }
};
#pragma pack(pop)

static_assert(sizeof(FrameMetadataRecord) == 78, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, frameCounter) == 2, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, hwFrameCounter) == 6, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, timestamp) == 10, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, frameNumber) == 18, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, flagState) == 26, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, settleMarker) == 30, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, tempChip) == 34, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, tempOptics) == 46, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, headerWord) == 50, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, digitalInputCount) == 68, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, digitalInputBits) == 70, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, analogCount) == 74, "metadata record layout");
static_assert(offsetof(FrameMetadataRecord, analogValue0) == 76, "metadata record layout");

struct OpFrameFormat {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t pixelCount = 0;
    std::int32_t byteSize = 0;
    std::int64_t avgTimePerFrame = 0;  // 100-ns units
    std::uint16_t bitCount = 16;
    std::uint32_t contentKind = 0;
};

// One operator output: format, metadata record and 16-bit pixels, each owned.
struct OpFrame {
    OpFrameFormat* format = nullptr;
    FrameMetadataRecord* metadata = nullptr;
    std::uint16_t* pixels = nullptr;
};

struct FrameInitRecord {
    std::uint32_t width;
    std::uint32_t height;
    std::uint16_t bitCount;
    std::int64_t avgTimePerFrame;
};
static_assert(sizeof(FrameInitRecord) == 24, "frame init record layout");

struct FrameDoneRecord {
    std::uint16_t* pixels;
    FrameMetadataRecord* metadata;
};

using FrameDoneCallback = void (*)(FrameDoneRecord*);
using FrameInitCallback = void (*)(FrameInitRecord*);

// One bit per pixel: pixel i is bit i % 8 of byte i / 8.
class BitPlane {
  public:
    void assign(std::size_t n, bool on) {
        bytes_.clear();  // keeps the room: no allocation unless it grows
        bytes_.resize((n + 7) / 8, on ? 0xFF : 0);
    }
    bool empty() const { return bytes_.empty(); }
    bool test(std::size_t i) const { return (bytes_[i / 8] >> (i % 8) & 1) != 0; }
    void set(std::size_t i) { bytes_[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8)); }
    void clear(std::size_t i) { bytes_[i / 8] &= static_cast<std::uint8_t>(~(1u << (i % 8))); }
    const std::uint8_t* data() const { return bytes_.data(); }

  private:
    std::vector<std::uint8_t> bytes_;
};

// Base of every operator of the processing graph: owns one output frame, knows its predecessor
// and successors and passes each frame down the graph.
// Threads: the graph is built and initialised at init, while no frames flow; frames run on the
// capture thread and, behind post-processing with multi-threading on, on its worker, each frame
// under the imager lock. Nothing here is guarded: off the frame path, read an operator only
// between frames (under the imager lock, or while no frames flow).
class OpBase {
  public:
    enum State : int {
        Constructed = 0,
        Initialising = 1,
        Ready = 2,
        Processing = 3,
        Done = 4,
        Destroying = 5,
        Destroyed = 6
    };

    // Construction adds this operator to its predecessor's successors: at init.
    OpBase(OpBase* predecessor, int id, const wchar_t* name, SharedParameterBlock* shared);
    virtual ~OpBase();
    OpBase(const OpBase&) = delete;
    OpBase& operator=(const OpBase&) = delete;

    // The input is ready (frame path): the base runs at once, post-processing may queue the
    // frame for its worker.
    virtual HRESULT trigger();
    // Clears the frame callbacks of this operator and its successors, while no frames flow.
    virtual HRESULT reset();
    // Takes `*frame` as the output (freeing an owned one), reports its format to initCallback
    // and initialises the successors from it: at init.
    virtual HRESULT setOutputFrame(OpFrame** frame);
    // Prepares this operator from its predecessor's output (through setOutputFrame): at init.
    virtual HRESULT init(OpBase* predecessor) = 0;
    // compute, then frameDoneCallback and the successors' trigger: frame path; E_FAIL before
    // init.
    virtual HRESULT run();
    // This operator's work on one frame: frame path, from run.
    virtual HRESULT compute() = 0;

    // Appends `op` to the operators this one triggers (an operator's constructor does it for
    // its predecessor): at init, never while a frame runs.
    void addSuccessor(OpBase* op);
    // The operator with `id`: this one, then up the predecessors and/or down the successors;
    // null when none. At init or between frames.
    OpBase* findById(int id, bool searchUp, bool searchDown);

    // Frame records: allocate (zeroed pixels, metadata with unknown values), free, copy and
    // resize (both may reallocate: use the result). Any thread, on records the caller guards.
    static OpFrame* allocateOutputFrame(const OpFrameFormat* format, unsigned contentKind);
    static void freeFrame(OpFrame* frame);
    static FrameMetadataRecord* allocateMetadata();
    static void freeMetadata(FrameMetadataRecord* record);
    static FrameMetadataRecord* copyMetadata(const FrameMetadataRecord* source,
                                             FrameMetadataRecord* destination);
    static FrameMetadataRecord* resizeMetadata(FrameMetadataRecord* record, unsigned analogCount);

    // Id and name (fixed at construction: any thread), size (from init), graph links and the
    // time of the last run in ms: between frames.
    int getId() const { return id_; }
    int getWidth() const { return width_; }
    int getHeight() const { return height_; }
    int getPixelCount() const { return pixelCount_; }
    OpBase* getPredecessor() const { return predecessor_; }
    const std::vector<OpBase*>& getSuccessors() const { return successors_; }
    const std::wstring& getName() const { return name_; }
    double getLastRunTime() const { return lastRunTime_; }

#ifdef KELVIX_DEBUG_BUILD
    // Frames per second of the output frame; E_POINTER without one.
    KELVIX_DEBUG_API HRESULT getFrameRate(double* rate) const;
    // Copies the name, cut to `length` - 1 characters.
    KELVIX_DEBUG_API HRESULT getName(wchar_t* buffer, std::size_t length) const;
    // Width and height of the output.
    KELVIX_DEBUG_API HRESULT getSize(std::int32_t size[2]) const;
    // T in the chain's temperature unit.
    // (unit 1: T x 10 + 1000, 2: T x 100, each rounded; otherwise T truncated). All four:
    // between frames.
    KELVIX_DEBUG_API std::int32_t temperatureToRaw(float t) const;
#endif

    FrameDoneCallback frameDoneCallback = nullptr;
    FrameInitCallback initCallback = nullptr;
    OpFrame* frame = nullptr;
    int state = Constructed;
    bool settleMarkerChanged = false;

  protected:
    // The frame this operator reads: the predecessor's output unless the operator keeps its own
    // copy of it (the post-processing worker).
    virtual const OpFrame* inputFrame() const {
        return predecessor_ != nullptr ? predecessor_->frame : nullptr;
    }
    double nowMs() const;
    // Allocates an output frame shaped like the predecessor's and hands it to setOutputFrame.
    HRESULT allocateLikePredecessor(OpBase* predecessor, unsigned contentKind);
    // Copies the predecessor's pixels into this operator's output (byte size of the smaller).
    void copyPredecessorPixels();
    // Copies the fixed 78 bytes of the predecessor's metadata into this output's record.
    void copyFixedMetadata();
    // For a frame whose pixels equal the input's: the output hands on `pixels` (the
    // predecessor's unless given) instead of a copy of them. The own buffer comes back with
    // useOwnPixels, and for freeing.
    void passPixels(std::uint16_t* pixels = nullptr);
    void useOwnPixels() {
        keepOwnPixels();
        if (frame->pixels != ownPixels_) {
            frame->pixels = ownPixels_;
        }
    }
    // For an operator that hands on its input's pixels: frees the output's own buffer (kept
    // when the input is smaller) until keepOwnPixels takes one again. At init.
    void releaseOwnPixels();
    // An own buffer for the output from now on, allocated when it was released: at init or
    // between frames (useOwnPixels does it too, but frames should not allocate).
    void keepOwnPixels();
    // Frees the output frame when it is owned.
    void releaseFrame();
    // Initialises every successor from this output; Ready when all succeed.
    HRESULT initSuccessors();

    int id_;
    int width_ = 0;
    int height_ = 0;
    int pixelCount_ = 0;
    OpBase* predecessor_;
    std::vector<OpBase*> successors_;
    bool ownsFrame_ = false;
    std::uint16_t* ownPixels_ = nullptr;  // the output frame's own buffer
    SharedParameterBlock* shared_;
    std::wstring name_;
    std::string traceName_;  // narrowed once: runs allocate nothing
    double lastRunTime_ = 0.0;
    double counterFrequency_;
    std::uint32_t lastSettleMarker_ = 0;
};

// For owners of a whole frame record (format, pixels, metadata).
struct OpFrameDeleter {
    void operator()(OpFrame* frame) const { OpBase::freeFrame(frame); }
};
