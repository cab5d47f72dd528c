/* Plain C interface of libkelvix: a camera in-process (USB) or through the daemon (TCP).
 *
 * Return codes: 0 success; -1 failure (no active client, no new image, buffer sizes that do
 * not match the image, a repairable connection failure, a refused disconnect, an unsupported
 * operation, a file or command that could not be written or run); -2 the connection to the
 * daemon is lost for good.
 *
 * Thermal data: unsigned short per pixel, raw = T * 10 + 1000 (T in degrees Celsius).
 * Palette data: 3 bytes per pixel (blue, green, red), rows of the palette image's width, a
 * multiple of 4 pixels. Buffers belong to the caller.
 *
 * Threads: init and terminate from one thread while no other call runs. Images and settings may
 * come from any thread on an in-process camera; through the daemon, from one thread at a time.
 * Every image call takes a frame of its own: two threads never get the same frame. */
#ifndef KELVIX_KELVIX_C_H
#define KELVIX_KELVIX_C_H

#include "kelvix/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opens the camera of the configuration file in this process; formatsDir and logFile may be
 * null. Writes the configuration path and the result to "log.txt" in the current directory. */
KELVIX_API int zol_kelvix_usb_init(const char* xmlConfig, const char* formatsDir,
                                   const char* logFile);
/* Connects to a running daemon: 0 connected, -1 failed (may be retried), -2 failed for good. */
KELVIX_API int zol_kelvix_tcp_init(const char* ip, int port);
/* Disconnects the active client; it stays selected, and its init connects it again. */
KELVIX_API int zol_kelvix_terminate(void);

/* With *w or *h set to -1 only the image's size is written to *w and *h. Every call takes a
 * new image, size queries too. */
KELVIX_API int zol_kelvix_get_thermal_image(int* w, int* h, unsigned short* data);
/* The size alone (a frame is taken all the same). */
KELVIX_API int zol_kelvix_get_thermal_image_size(int* w, int* h);
/* The same for the palette image (*w is the padded row width). */
KELVIX_API int zol_kelvix_get_palette_image(int* w, int* h, unsigned char* data);
KELVIX_API int zol_kelvix_get_palette_image_size(int* w, int* h);
/* Both images of one frame; the sizes must be those of the images. */
KELVIX_API int zol_kelvix_get_thermal_palette_image(int wT, int hT, unsigned short* thermal, int wP,
                                                    int hP, unsigned char* rgb);

/* Palette (1 to 11) and palette scaling (1 manual, 2 min-max, 3 and 4 sigma) of the palette
 * images. */
KELVIX_API int zol_kelvix_set_palette(int palette);
KELVIX_API int zol_kelvix_set_palette_scale(int scale);
/* Non-zero: automatic shutter flag. */
KELVIX_API int zol_kelvix_set_shutter_mode(int mode);
/* Runs one shutter-flag cycle now. */
KELVIX_API int zol_kelvix_trigger_shutter_flag(void);
/* The calibrated range to measure in, degrees Celsius. */
KELVIX_API int zol_kelvix_set_temperature_range(int tMin, int tMax);
/* Emissivity and transmissivity in [0, 1], ambient in degrees Celsius (not above -273.15, NAN and
 * -INFINITY included: the housing's minus 5); other values are refused (-1). Not available
 * through the daemon (-1). */
KELVIX_API int zol_kelvix_set_radiation_parameters(float emissivity, float transmissivity,
                                                   float tAmbient);

/* Renders a thermal image with a palette and writes it as PNG, whatever the extension. Needs no
 * connection; any thread. */
KELVIX_API int zol_kelvix_to_palette_save_png(unsigned short* thermal, int w, int h,
                                              const char* path, int palette, int paletteScale);

/* Stops a running daemon process (killall); any thread. */
KELVIX_API int zol_kelvix_daemon_kill(void);
/* Not available: -1. */
KELVIX_API int zol_kelvix_daemon_launch(void);
KELVIX_API int zol_kelvix_daemon_is_running(void);

#ifdef __cplusplus
}
#endif

#endif /* KELVIX_KELVIX_C_H */
