// Rendering of temperature frames: the integral image behind box means and extremal regions, the
// palette window by scaling method, the cached colour table, PPM files.
#include "kelvix/ImageBuilder.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "platform/Paths.h"
#include "platform/Strings.h"
#include "sdk/Log.h"
#include "sdk/Palettes.h"

namespace zol {
namespace {

constexpr float kOutside = -9999.0f;
constexpr std::uint32_t kColorTableEntries = 65536 + 2;
// A text PPM line holds one number and perhaps a comment.
constexpr std::size_t kMaxPpmLine = 4095;

float rawToCelsius(double raw) {
    return static_cast<float>((raw - 1000.0) / 10.0);
}

// Palette index of raw value v in the window [lo, hi], in single precision: values below the
// window give 0, above it 239; an empty window gives 0 everywhere.
int paletteIndex(int v, std::uint16_t lo, std::uint16_t hi) {
    const int diff = static_cast<int>(hi) - static_cast<int>(lo);
    if (diff == 0) {
        return 0;
    }
    const float x = 239.0f / static_cast<float>(diff) * static_cast<float>(v - lo);
    if (!(x >= 0.0f)) {
        return 0;
    }
    if (x >= 240.0f) {
        return 239;
    }
    return static_cast<int>(x);
}

// A manual window bound: T * 10 + 1000 in single precision, truncated, kept in 16 bits.
std::uint16_t toRaw16(float celsius) {
    const float v = celsius * 10.0f + 1000.0f;
    if (!(v > -2147483648.0f && v < 2147483648.0f)) {
        return 0;
    }
    return static_cast<std::uint16_t>(static_cast<std::int32_t>(v));
}

std::uint32_t packPixel(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const std::uint8_t bytes[4] = {b0, b1, b2, 0};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

std::string trimLine(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// The first number on a line (leading blanks skipped); false when there is none.
template <typename T>
bool parseNumber(const char*& p, const char* end, T& value) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f')) {
        ++p;
    }
    auto result = std::from_chars(p, end, value);
    if (result.ec != std::errc()) {
        return false;
    }
    p = result.ptr;
    return true;
}

bool blank(std::string_view s) {
    return s.find_first_not_of(" \t\r\v\f") == std::string::npos;
}

struct YuvTables {
    int rv[256], gv[256], gu[256], bu[256];
    YuvTables() {
        for (int i = 0; i < 256; ++i) {
            rv[i] = (1402 * i - 179456) / 1000;
            gv[i] = (91392 - 714 * i) / 1000;
            gu[i] = (44032 - 344 * i) / 1000;
            bu[i] = (1772 * i - 226816) / 1000;
        }
    }
};

// A copy of the first n values; null for null.
template <typename T>
std::unique_ptr<T[]> copyOf(const std::unique_ptr<T[]>& from, std::size_t n) {
    if (!from) {
        return nullptr;
    }
    std::unique_ptr<T[]> copy(new T[n]);
    std::copy(from.get(), from.get() + n, copy.get());
    return copy;
}

inline std::uint8_t clampByte(int v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace

ImageBuilder::ImageBuilder(bool alignRows)
    : scalingMethod(eMinMax),
      isoMin(800),
      isoMax(1200),
      width(0),
      height(0),
      stride(0),
      size(0),
      palette(eIron),
      alignRows(alignRows),
      integralStale(false),
      colorTableLast(0),
      colorTableBase(0),
      colorTableMin(0),
      colorTableMax(0),
      colorTablePalette(0),
      colorTableValid(false) {}

ImageBuilder::~ImageBuilder() = default;

void ImageBuilder::releaseArrays() {
    data.reset();
    integral.reset();
}

// Copies own their arrays: a shared frame would be freed twice.
ImageBuilder::ImageBuilder(const ImageBuilder& other) : ImageBuilder(other.alignRows) {
    *this = other;
}

ImageBuilder& ImageBuilder::operator=(const ImageBuilder& other) {
    if (this == &other) {
        return *this;
    }
    std::unique_ptr<std::uint16_t[]> newData = copyOf(other.data, other.size);
    std::unique_ptr<std::uint32_t[]> newIntegral = copyOf(other.integral, other.size);
    data = std::move(newData);
    integral = std::move(newIntegral);
    scalingMethod = other.scalingMethod;
    isoMin = other.isoMin;
    isoMax = other.isoMax;
    width = other.width;
    height = other.height;
    stride = other.stride;
    size = other.size;
    palette = other.palette;
    alignRows = other.alignRows;
    integralStale = other.integralStale;
    colorTableValid = false;
    return *this;
}

void ImageBuilder::setData(unsigned w, unsigned h, unsigned short* frame) {
    if (w != width || h != height) {
        const std::uint64_t pixels = static_cast<std::uint64_t>(w) * h;
        const std::uint64_t rowPixels = alignRows ? (static_cast<std::uint64_t>(w) + 3) & ~3ull : w;
        if (pixels > std::numeric_limits<std::uint32_t>::max() ||
            rowPixels * h * 3 > std::numeric_limits<std::uint32_t>::max()) {
            KLOG_ERROR("Frame size " << w << " x " << h << " too large ... ignoring frame");
            return;
        }
        releaseArrays();
        width = w;
        height = h;
        stride = static_cast<std::uint32_t>(rowPixels);
        size = static_cast<std::uint32_t>(pixels);
        data = std::make_unique<std::uint16_t[]>(size);
        integral = std::make_unique<std::uint32_t[]>(size);
    }
    if (frame != nullptr) {
        std::copy(frame, frame + size, data.get());
    }
    integralStale = true;
}

float ImageBuilder::getTemperatureAt(int index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= size) {
        return kOutside;
    }
    return rawToCelsius(data[index]);
}

float ImageBuilder::getTemperatureAt(int x, int y) {
    // Each coordinate is checked on its own: (width, 0) is outside, not pixel (0, 1).
    if (x < 0 || y < 0 || static_cast<std::uint32_t>(x) >= width ||
        static_cast<std::uint32_t>(y) >= height) {
        return kOutside;
    }
    return getTemperatureAt(x + y * static_cast<int>(width));
}

void ImageBuilder::calculateIntegralImage() {
    if (!integralStale) {
        return;
    }
    // Row sums added to the row above: the same values modulo 2^32 as the corner recursion.
    const std::uint32_t w = width;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint16_t* d = data.get() + static_cast<std::size_t>(y) * w;
        std::uint32_t* row = integral.get() + static_cast<std::size_t>(y) * w;
        const std::uint32_t* above = y ? row - w : nullptr;
        std::uint32_t rowSum = 0;
        for (std::uint32_t x = 0; x < w; ++x) {
            rowSum += d[x];
            row[x] = rowSum + (above ? above[x] : 0u);
        }
    }
    integralStale = false;
}

float ImageBuilder::getMeanTemperature(unsigned x1, unsigned y1, unsigned x2, unsigned y2) {
    if (width < 3 || height < 3) {
        KLOG_ERROR("Frame of " << width << " x " << height << " has no inner box ... ignoring");
        return kOutside;
    }
    calculateIntegralImage();
    const unsigned maxX = width - 2;
    const unsigned maxY = height - 2;
    unsigned left = x1, top = y1, right = x2, bottom = y2;
    if (!(1 <= x1 && x1 <= x2 && x2 <= maxX && 1 <= y1 && y1 <= y2 && y2 <= maxY)) {
        left = std::min(std::max(x1, 1u), maxX);
        top = std::min(std::max(y1, 1u), maxY);
        right = std::min(std::max(x2, left), maxX);
        bottom = std::min(std::max(y2, top), maxY);
        KLOG_ERROR("Coordinates invalid ... setting to: " << left << " " << top << " " << right
                                                          << " " << bottom);
    }
    auto at = [this](unsigned row, unsigned col) {
        return integral[static_cast<std::size_t>(row) * width + col];
    };
    const std::uint32_t sum =
        at(top - 1, left - 1) + at(bottom, right) - at(bottom, left - 1) - at(top - 1, right);
    const double count = static_cast<double>(right - left + 1) * (bottom - top + 1);
    return rawToCelsius(sum / count);
}

void ImageBuilder::getMinMaxRegion(unsigned radius, ExtremalRegion* coldest,
                                   ExtremalRegion* hottest) {
    const std::int64_t r = radius;
    // Centres lie in [r + 1, size - r - 1); a frame smaller than one box has none.
    const std::int64_t endX = static_cast<std::int64_t>(width) - r - 1;
    const std::int64_t endY = static_cast<std::int64_t>(height) - r - 1;
    if (endX <= r + 1 || endY <= r + 1) {
        return;
    }
    calculateIntegralImage();
    const std::size_t w = width;
    std::uint32_t minSum = std::numeric_limits<std::uint32_t>::max(), maxSum = 0;
    std::int64_t minX = -1, minY = -1, maxX = -1, maxY = -1;
    for (std::int64_t y = r + 1; y < endY; ++y) {
        const std::uint32_t* top = integral.get() + (y - r - 1) * w;
        const std::uint32_t* bottom = integral.get() + (y + r) * w;
        for (std::int64_t x = r + 1; x < endX; ++x) {
            const std::uint32_t sum =
                bottom[x + r] - top[x + r] - bottom[x - r - 1] + top[x - r - 1];
            if (sum < minSum || minX < 0) {
                minSum = sum;
                minX = x;
                minY = y;
            }
            if (sum > maxSum || maxX < 0) {
                maxSum = sum;
                maxX = x;
                maxY = y;
            }
        }
    }
    const double n2 = static_cast<double>(2 * r + 1) * static_cast<double>(2 * r + 1);
    auto fill = [&](ExtremalRegion* out, std::int64_t x, std::int64_t y, std::uint32_t sum) {
        if (out) {
            out->x1 = static_cast<std::uint32_t>(x - r);
            out->y1 = static_cast<std::uint32_t>(y - r);
            out->x2 = static_cast<std::uint32_t>(x + r);
            out->y2 = static_cast<std::uint32_t>(y + r);
            out->temperature = rawToCelsius(sum / n2);
        }
    };
    fill(coldest, minX, minY, minSum);
    fill(hottest, maxX, maxY, maxSum);
}

void ImageBuilder::setManualTemperatureRange(float tMin, float tMax) {
    isoMin = toRaw16(tMin);
    isoMax = toRaw16(tMax);
}

float ImageBuilder::getIsothermalMin() const {
    return rawToCelsius(isoMin);
}

float ImageBuilder::getIsothermalMax() const {
    return rawToCelsius(isoMax);
}

void ImageBuilder::getPaletteTable(PaletteTable& table) const {
    const PaletteEntries& entries = paletteEntries(palette);
    for (int i = 0; i < kPaletteEntries; ++i) {
        for (int c = 0; c < 3; ++c) {
            table[i][c] = entries[i][c];
        }
    }
}

void ImageBuilder::calcMinMaxScalingFactor() {
    std::uint16_t lo = 65535, hi = 0;
    for (std::uint32_t i = 0; i < size; ++i) {
        lo = std::min(lo, data[i]);
        hi = std::max(hi, data[i]);
    }
    isoMin = lo;
    isoMax = hi;
}

void ImageBuilder::calcSigmaScalingFactor(float k) {
    if (size == 0) {
        return;
    }
    // Exact integer sums; only mean and deviation are taken to single precision.
    std::uint64_t sum = 0, sumSq = 0;
    for (std::uint32_t start = 0; start < size; start += 65536) {
        const std::uint32_t end =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(size, start + 65536ull));
        std::uint32_t part = 0;
        std::uint64_t partSq = 0;
        for (std::uint32_t i = start; i < end; ++i) {
            const std::uint32_t v = data[i];
            part += v;
            partSq += v * v;
        }
        sum += part;
        sumSq += partSq;
    }
    const unsigned __int128 n = size;
    const unsigned __int128 spread = n * sumSq - static_cast<unsigned __int128>(sum) * sum;
    const float mean = static_cast<float>(static_cast<double>(sum) / size);
    const float sigma = static_cast<float>(
        std::sqrt(static_cast<double>(spread) / (static_cast<double>(size) * size)));
    const float lo = mean - k * sigma;
    const float hi = mean + k * sigma;
    isoMin = lo < 0.0f ? 0 : static_cast<std::uint16_t>(lo);
    isoMax = hi > 65535.0f ? 65535 : static_cast<std::uint16_t>(hi);
}

void ImageBuilder::updateWindow() {
    switch (scalingMethod) {
        case eMinMax:
            calcMinMaxScalingFactor();
            break;
        case eSigma1:
            calcSigmaScalingFactor(1.0f);
            break;
        case eSigma3:
            calcSigmaScalingFactor(3.0f);
            break;
        default:
            break;
    }
}

void ImageBuilder::prepareColorTable() {
    if (colorTableValid && colorTableMin == isoMin && colorTableMax == isoMax &&
        colorTablePalette == palette) {
        return;
    }
    if (!colorTable) {
        colorTable.reset(new std::uint32_t[kColorTableEntries]);  // every entry is set below
    }
    // Entry 0 stands for every value below the window, the last for every value above it.
    const int lo = std::min(isoMin, isoMax);
    const int hi = std::max(isoMin, isoMax);
    colorTableBase = lo - 1;
    colorTableLast = static_cast<std::uint32_t>(hi - lo + 2);
    const PaletteEntries& entries = paletteEntries(palette);
    for (std::uint32_t c = 0; c <= colorTableLast; ++c) {
        const PaletteRgb& e =
            entries[paletteIndex(colorTableBase + static_cast<int>(c), isoMin, isoMax)];
        colorTable[c] = packPixel(e[2], e[1], e[0]);
    }
    colorTableMin = isoMin;
    colorTableMax = isoMax;
    colorTablePalette = palette;
    colorTableValid = true;
}

void ImageBuilder::convertTemperatureToPaletteImage(unsigned char* rgb, bool noPadding) {
    updateWindow();
    if (rgb == nullptr || width == 0 || height == 0) {
        return;
    }
    prepareColorTable();
    const std::uint32_t* table = colorTable.get();
    const int base = colorTableBase;
    const int last = static_cast<int>(colorTableLast);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    const std::size_t pad = noPadding ? 0 : static_cast<std::size_t>(stride - width) * 3;
    const std::uint16_t* src = data.get();
    unsigned char* out = rgb;
    for (std::uint32_t y = 0; y < height; ++y) {
        // Four bytes per pixel, the fourth overwritten by the next pixel; the row's last
        // pixel gets exactly three.
        std::uint32_t x = 0;
        for (; x + 1 < width; ++x) {
            int c = static_cast<int>(src[x]) - base;
            c = c < 0 ? 0 : c;
            c = c > last ? last : c;
            std::memcpy(out + 3 * x, &table[c], 4);
        }
        {
            int c = static_cast<int>(src[x]) - base;
            c = c < 0 ? 0 : (c > last ? last : c);
            std::memcpy(out + 3 * x, &table[c], 3);
        }
        out += rowBytes;
        if (pad) {
            std::memset(out, 0, pad);
            out += pad;
        }
        src += width;
    }
}

void ImageBuilder::fillPaletteLookup(unsigned int* lookup) {
    if (lookup == nullptr) {
        return;
    }
    for (int v = 0; v < 65536; ++v) {
        if (v < isoMin) {
            lookup[v] = 0;
        } else if (v < isoMax) {
            lookup[v] = static_cast<unsigned>(paletteIndex(v, isoMin, isoMax));
        } else {
            lookup[v] = 239;
        }
    }
}

void ImageBuilder::convertTemperatureToPaletteImage(const unsigned int* lookup,
                                                    unsigned char* rgb) {
    if (lookup == nullptr || rgb == nullptr) {
        return;
    }
    const PaletteEntries& entries = paletteEntries(palette);
    const std::size_t rowStep = static_cast<std::size_t>(stride) * 3;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint16_t* src = data.get() + static_cast<std::size_t>(y) * width;
        unsigned char* out = rgb + y * rowStep;
        for (std::uint32_t x = 0; x < width; ++x) {
            // A caller's table may hold anything: indexes stop at the palette's end.
            const unsigned i = std::min(lookup[src[x]], 239u);
            out[3 * x] = entries[i][0];
            out[3 * x + 1] = entries[i][1];
            out[3 * x + 2] = entries[i][2];
        }
    }
}

void ImageBuilder::getPaletteBar(unsigned thickness, unsigned length, unsigned char*& bar) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(thickness) * length * 3;
    if (bytes > std::numeric_limits<std::uint32_t>::max()) {
        bar = nullptr;
        return;
    }
    bar = new unsigned char[bytes];
    const PaletteEntries& entries = paletteEntries(palette);
    unsigned char* out = bar;
    for (unsigned i = 0; i < length; ++i) {
        const std::uint64_t step = static_cast<std::uint64_t>(i) * 239 / length;
        const PaletteRgb& e = entries[239 - std::min<std::uint64_t>(step, 239)];
        for (unsigned t = 0; t < thickness; ++t) {
            *out++ = e[2];
            *out++ = e[1];
            *out++ = e[0];
        }
    }
}

void ImageBuilder::calcHistogram(unsigned int* histogram, unsigned int bins, int tMin, int tMax) {
    if (bins == 0 || histogram == nullptr) {
        return;
    }
    std::fill(histogram, histogram + bins, 0u);
    const int lo = static_cast<std::uint16_t>(static_cast<std::int64_t>(tMin) * 10 + 1000);
    const int hi = static_cast<std::uint16_t>(static_cast<std::int64_t>(tMax) * 10 + 1000);
    if (lo == hi) {
        // No span to divide: below it is the first bin, the rest the last.
        for (std::uint32_t i = 0; i < size; ++i) {
            ++histogram[data[i] < lo ? 0 : bins - 1];
        }
        return;
    }
    const float f = static_cast<float>(bins - 1) / static_cast<float>(hi - lo);
    const float top = static_cast<float>(bins);
    for (std::uint32_t i = 0; i < size; ++i) {
        const float b = static_cast<float>(static_cast<int>(data[i]) - lo) * f;
        unsigned bin;
        if (!(b >= 0.0f)) {
            bin = 0;
        } else if (b >= top) {
            bin = bins - 1;
        } else {
            bin = std::min(static_cast<unsigned>(b), bins - 1);
        }
        ++histogram[bin];
    }
}

void ImageBuilder::drawCrosshair(unsigned char* rgb, unsigned x, unsigned y,
                                 const unsigned char* color) {
    if (rgb == nullptr || x <= 2 || y <= 2 || static_cast<std::uint64_t>(x) + 4 >= stride ||
        static_cast<std::uint64_t>(y) + 4 >= height) {
        return;
    }
    static const unsigned char kGreen[3] = {0, 255, 0};
    const unsigned char* c = color ? color : kGreen;
    auto paint = [&](unsigned px, unsigned py) {
        unsigned char* p = rgb + (static_cast<std::size_t>(py) * stride + px) * 3;
        p[0] = c[0];
        p[1] = c[1];
        p[2] = c[2];
    };
    for (int i = -3; i <= 3; ++i) {
        paint(x + i, y);
        paint(x, y + i);
    }
}

void ImageBuilder::yuv422torgb24(const unsigned char* yuv, unsigned char* rgb, unsigned width,
                                 unsigned height) {
    if (yuv == nullptr || rgb == nullptr) {
        return;
    }
    static const YuvTables tables;  // built once, also when threads race for the first frame
    const std::uint64_t groups = static_cast<std::uint64_t>(width) * height / 2;
    for (std::uint64_t g = 0; g < groups; ++g) {
        const unsigned char* in = yuv + 4 * g;
        unsigned char* out = rgb + 6 * g;
        const int u = in[1], v = in[3];
        const int bu = tables.bu[u];
        const int guv = tables.gu[u] + tables.gv[v];
        const int rv = tables.rv[v];
        for (int k = 0; k < 2; ++k) {
            const int yv = in[2 * k];
            out[3 * k] = clampByte(yv + bu);
            out[3 * k + 1] = clampByte(yv + guv);
            out[3 * k + 2] = clampByte(yv + rv);
        }
    }
}

void ImageBuilder::convert2PPM(unsigned char*& ppm, unsigned int* size, unsigned char* rgb,
                               unsigned width, unsigned height) {
    char header[64];
    const int headerLength =
        std::snprintf(header, sizeof header, "P6\n%u %u\n255\n", width, height);
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height * 3;
    const std::uint64_t total = pixels + static_cast<std::uint64_t>(headerLength);
    if (total > std::numeric_limits<std::uint32_t>::max() || (rgb == nullptr && pixels != 0)) {
        ppm = nullptr;
        if (size) {
            *size = 0;
        }
        return;
    }
    ppm = new unsigned char[total];
    std::memcpy(ppm, header, static_cast<std::size_t>(headerLength));
    if (pixels) {
        std::memcpy(ppm + headerLength, rgb, pixels);
    }
    if (size) {
        *size = static_cast<unsigned>(total);
    }
}

int ImageBuilder::serializePPM(const char* path, unsigned char* rgb, unsigned width,
                               unsigned height) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height * 3;
    if (path == nullptr || (rgb == nullptr && pixels != 0)) {
        return -1;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        KLOG_ERROR("Cannot create " << path);
        return -1;
    }
    out << "P6\n" << width << " " << height << "\n255\n";
    out.write(reinterpret_cast<const char*>(rgb), static_cast<std::streamsize>(pixels));
    out.close();
    if (!out) {
        KLOG_ERROR("Cannot write " << path);
        return -1;
    }
    return 1;
}

int ImageBuilder::readPPM3(const char* path, unsigned char** rgb, unsigned* width,
                           unsigned* height) {
    if (path == nullptr || rgb == nullptr || width == nullptr || height == nullptr) {
        return -1;
    }
    // The same bound as every other file read whole; a FIFO or a device is never waited on,
    // and a hole never read.
    std::string text;
    const platform::FileReadResult read = platform::readRegularFile(platform::toWide(path), text);
    if (const char* reason = platform::refusalReason(read)) {
        KLOG_ERROR("PPM file " << path << " refused: " << reason);
        return -1;
    }
    if (read != platform::FileReadResult::Read) {
        return -1;
    }
    std::size_t pos = 0;
    std::string_view line;
    bool tooLong = false;
    // One number per line: a longer line is a binary file or a hole, not a PPM.
    auto readLine = [&]() {
        const platform::LineRead got = platform::nextLine(text, pos, kMaxPpmLine, line);
        tooLong = got == platform::LineRead::TooLong;
        return got == platform::LineRead::Line || got == platform::LineRead::Unterminated;
    };
    if (!readLine() || trimLine(std::string(line)) != "P3") {
        return -1;
    }
    *width = 0;
    *height = 0;
    *rgb = nullptr;

    // The next line that still holds something once its comment is cut off.
    auto nextLine = [&]() {
        while (readLine()) {
            line = line.substr(0, line.find('#'));
            if (!blank(line)) {
                return true;
            }
        }
        if (tooLong) {
            KLOG_ERROR("PPM file " << path << " refused: a line longer than " << kMaxPpmLine
                                   << " characters");
        }
        return false;
    };
    // A header that breaks off or does not parse gives no image, and no sizes to read it by.
    auto refuse = [&]() {
        *width = 0;
        *height = 0;
        return -1;
    };

    std::uint32_t w = 0, h = 0;
    if (!nextLine()) {
        return refuse();
    }
    const char* p = line.data();
    const char* end = p + line.size();
    if (!parseNumber(p, end, w)) {
        return refuse();
    }
    *width = w;
    if (!parseNumber(p, end, h)) {
        if (!nextLine()) {
            return refuse();
        }
        p = line.data();
        end = p + line.size();
        if (!parseNumber(p, end, h)) {
            return refuse();
        }
    }
    *height = h;
    if (!nextLine()) {
        return refuse();
    }
    p = line.data();
    end = p + line.size();
    double maximum = 0.0;
    if (!parseNumber(p, end, maximum) || !(maximum >= 1.0)) {
        return -1;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(w) * h * 3;
    // Each sample takes a digit and a line end (the last one may lack it), so the rest of the
    // file bounds the image before anything is allocated for it.
    const std::uint64_t room = (text.size() - pos + 1) / 2;
    if (bytes > room || bytes > std::numeric_limits<std::uint32_t>::max()) {
        KLOG_ERROR("PPM file " << path << " refused: " << w << " x " << h
                               << " pixels claimed, more than the file holds");
        return refuse();
    }
    // Zero-filled, so that a short file leaves black pixels behind its last sample.
    unsigned char* image = new (std::nothrow) unsigned char[bytes]();
    if (image == nullptr) {
        return refuse();
    }
    *rgb = image;
    std::uint64_t next = 0;
    while (next < bytes && nextLine()) {
        p = line.data();
        end = p + line.size();
        double value = 0.0;
        if (!parseNumber(p, end, value)) {
            value = 0.0;
        }
        const double scaled = std::round(value / maximum * 255.0);
        image[next++] = scaled >= 0.0 ? static_cast<unsigned char>(std::min(scaled, 255.0)) : 0;
    }
    if (tooLong) {
        delete[] image;
        *rgb = nullptr;
        return refuse();
    }
    return 1;
}

}  // namespace zol
