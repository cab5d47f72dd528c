// The source operator (OpSource): unpacks the raw frame into pixels and header values as
// "Formats.def" describes. Runs on the capture thread.

#pragma once

#include <memory>
#include <vector>

#include "imgproc/FormatDefinitions.h"
#include "imgproc/OpBase.h"
#include "kelvix/export.h"

// Turns the raw camera frame into pixels and decoded header values, as the camera model's
// entry of "Formats.def" describes (one run per sub-frame).
// Runs on the capture thread, before the post-processing stage. Its accessors are not guarded:
// use them from a callback or while no frames flow.
class OpSource : public OpBase {
  public:
    OpSource(OpBase* predecessor, int id, const wchar_t* name, SharedParameterBlock* shared,
             int channel);
    ~OpSource() override;

    HRESULT trigger() override;
    HRESULT init(OpBase* predecessor) override;
    HRESULT compute() override;

    // Output formats the camera offers for `request`, thermal first.
    HRESULT queryFormats(const FormatRequest* request, FormatInfo formats[2], int* count);

    bool isFormatFound() const { return formatFound_; }
    const FormatDefinition* getFormat() const { return format_.get(); }
    int getSubFramesProcessed() const { return subFramesProcessed_; }
    int getPifType() const { return pifType_; }

#ifdef KELVIX_DEBUG_BUILD
    // The identifier of a known raw format (width, height, rate); all zero for any other.
    KELVIX_DEBUG_API static GUID formatIdentifier(int width, int height, double rate);
#endif

  private:
    // One contiguous stretch of "d" words: copied with one memcpy per frame.
    struct CopySpan {
        std::int32_t source;
        std::int32_t target;
        std::int32_t count;
    };

    HRESULT readFormat(FormatDefinition& def, const FormatRequest& request, int channel);
    void useDefaultFormat(int inWidth, int inHeight);
    // Builds the index tables; false when the layout does not fit the raw frame or the output.
    bool buildIndexTables(FormatDefinition& def, std::int64_t rawWords, std::int64_t pixelCount);
    void decodeHeader(const SubFrameLayout& sub);
    // Whether a sub-frame's image is one stretch of the raw frame, which frames hand on
    // uncopied; and whether every sub-frame's is.
    bool isOneStretch(const std::vector<CopySpan>& spans) const;
    bool handsOnRawPixels() const;

    std::uint16_t subFrameIndex_ = 0;
    int channel_;
    std::unique_ptr<FormatDefinition> format_;
    bool revision21to99_ = false;
    int subFramesProcessed_ = 0;
    std::uint16_t analogChannels_ = 0;
    std::vector<float> analogWork_;
    bool formatFound_ = false;
    std::int32_t pifType_ = 0;
    std::vector<std::vector<CopySpan>> spans_;  // per sub-frame
};
