// Rendering and measuring of temperature frames: palette images, pixel and box temperatures,
// histograms, PPM files. Used by applications, the daemon's handler, the USB client and the C
// interface.
#pragma once

#include <cstdint>
#include <memory>

#include "kelvix/export.h"

namespace zol {

// False-colour palettes; any value outside 1 to 11 renders like eIron.
enum EnumTervanColoringPalette : int {
    eBlackBlue = 1,
    eCold = 2,
    eBlackWhite = 3,
    eWhiteBlack = 4,
    eBlackGreen = 5,
    eIron = 6,
    eHot = 7,
    eBands = 8,
    eRainbow = 9,
    eContrast = 10,
    eBlackRed = 11
};

// How the palette window follows the frame; any value other than 2, 3 or 4 works as eManual.
enum EnumTervanPaletteScalingMethod : int {
    eManual = 1,
    eMinMax = 2,
    eSigma1 = 3,  // mean +- 1 standard deviation
    eSigma3 = 4   // mean +- 3 standard deviations
};

// A box found by getMinMaxRegion: its mean temperature and inclusive corners.
struct ExtremalRegion {
    float temperature = 0.0f;
    std::uint32_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// Renders 16-bit temperature frames (raw = T * 10 + 1000, T in degrees Celsius): palette
// images, temperatures at a pixel, box means, the coldest and hottest box, histograms,
// palette bars and crosshairs; also YUV 4:2:2 to colour and PPM files. Keeps its own copy of
// the frame. One thread at a time per builder (even the getters update cached state); the static
// functions hold no state and may run on any thread.
class KELVIX_API ImageBuilder {
  public:
    typedef unsigned char PaletteTable[240][3];  // red, green, blue

    // alignRows pads palette-image rows to a multiple of 4 pixels. Starts with eIron, eMinMax
    // and a manual window of -20 to 20 degC.
    explicit ImageBuilder(bool alignRows = true);
    ~ImageBuilder();
    // Copies frame, window and settings.
    ImageBuilder(const ImageBuilder& other);
    ImageBuilder& operator=(const ImageBuilder& other);

    // Copies the frame; new sizes replace the buffers.
    void setData(unsigned width, unsigned height, unsigned short* frame);
    unsigned getWidth() const { return width; }
    unsigned getHeight() const { return height; }
    // Pixels per row of a padded palette image (width rounded up to 4 with row alignment).
    unsigned getStride() const { return stride; }

    // Degrees Celsius at a pixel; -9999 outside the frame.
    float getTemperatureAt(int index);
    float getTemperatureAt(int x, int y);
    // Mean of the inclusive box; a box touching the border or outside is moved inside.
    float getMeanTemperature(unsigned x1, unsigned y1, unsigned x2, unsigned y2);
    // The coldest and hottest box of (2 * radius + 1)^2 pixels.
    void getMinMaxRegion(unsigned radius, ExtremalRegion* coldest, ExtremalRegion* hottest);

    // The palette window for eManual, in degrees Celsius.
    void setManualTemperatureRange(float tMin, float tMax);
    // The window in use (after the last painting for the automatic methods), degrees Celsius.
    float getIsothermalMin() const;
    float getIsothermalMax() const;
    void setPaletteScalingMethod(EnumTervanPaletteScalingMethod method) { scalingMethod = method; }
    EnumTervanPaletteScalingMethod getPaletteScalingMethod() const { return scalingMethod; }
    void setPalette(EnumTervanColoringPalette p) { palette = p; }
    EnumTervanColoringPalette getPalette() const { return palette; }
    // Copies the entries of the current palette.
    void getPaletteTable(PaletteTable& table) const;

    // Paints the frame, pixel bytes blue, green, red, after updating the window by the scaling
    // method. Padded rows (stride pixels, zero filled) unless noPadding.
    void convertTemperatureToPaletteImage(unsigned char* rgb, bool noPadding = false);
    // Palette index (0 to 239) of every raw value for the current window: 65536 entries.
    void fillPaletteLookup(unsigned int* lookup);
    // Paints the frame through a table from fillPaletteLookup, pixel bytes red, green, blue,
    // rows stride pixels apart; the padding bytes are left as they are.
    void convertTemperatureToPaletteImage(const unsigned int* lookup, unsigned char* rgb);

    // A new thickness x length image (delete[]) of the palette, hottest colour on line 0.
    void getPaletteBar(unsigned thickness, unsigned length, unsigned char*& bar);
    // Counts pixels per temperature bin between tMin and tMax (degrees Celsius).
    void calcHistogram(unsigned int* histogram, unsigned int bins, int tMin, int tMax);
    // A 7 x 7 cross at (x, y) in a padded image; green when color is null.
    void drawCrosshair(unsigned char* rgb, unsigned x, unsigned y, const unsigned char* color);

    // Y0 U Y1 V groups to blue, green, red pixels.
    static void yuv422torgb24(const unsigned char* yuv, unsigned char* rgb, unsigned width,
                              unsigned height);
    // A new binary PPM (delete[]) holding the image; size gets its length in bytes.
    static void convert2PPM(unsigned char*& ppm, unsigned int* size, unsigned char* rgb,
                            unsigned width, unsigned height);
    // Writes a binary PPM: 1 on success, -1 when the file cannot be created or written.
    static int serializePPM(const char* path, unsigned char* rgb, unsigned width, unsigned height);
    // Reads a text PPM with one number per line into a new array (delete[]): 1 on success,
    // -1 when the file cannot be opened or is not such a file.
    static int readPPM3(const char* path, unsigned char** rgb, unsigned* width, unsigned* height);

  private:
    void calculateIntegralImage();
    void calcMinMaxScalingFactor();
    void calcSigmaScalingFactor(float k);
    void updateWindow();
    void prepareColorTable();
    void releaseArrays();

    std::unique_ptr<std::uint16_t[]> data;      // width x height
    std::unique_ptr<std::uint32_t[]> integral;  // width x height
    EnumTervanPaletteScalingMethod scalingMethod;
    std::uint16_t isoMin;
    std::uint16_t isoMax;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t stride;
    std::uint32_t size;
    EnumTervanColoringPalette palette;
    bool alignRows;
    bool integralStale;

    // Packed pixel colours by clamped raw value for the window and palette of the last frame
    // painted; rebuilt only when one of them changes.
    std::unique_ptr<std::uint32_t[]> colorTable;
    std::uint32_t colorTableLast;  // index of the "above the window" entry
    int colorTableBase;            // raw value of entry 0
    std::uint16_t colorTableMin, colorTableMax;
    int colorTablePalette;
    bool colorTableValid;
};

}  // namespace zol
