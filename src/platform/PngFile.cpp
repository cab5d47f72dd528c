// libpng's simplified writer and reader behind writePngRgb and readPngRgb.
#include "platform/PngFile.h"

#include <png.h>

#include <cstring>

namespace platform {

bool writePngRgb(const std::string& path, unsigned width, unsigned height,
                 const std::uint8_t* rgb) {
    if (rgb == nullptr || width == 0 || height == 0) {
        return false;
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    // The simplified writer removes the file again when writing fails.
    const int ok = png_image_write_to_file(&image, path.c_str(), 0, rgb,
                                           static_cast<png_int_32>(width * 3), nullptr);
    png_image_free(&image);
    return ok != 0;
}

bool readPngRgb(const std::string& path, unsigned& width, unsigned& height,
                std::vector<std::uint8_t>& rgb) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        return false;
    }
    image.format = PNG_FORMAT_RGB;
    rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return false;
    }
    width = image.width;
    height = image.height;
    return true;
}

}  // namespace platform
