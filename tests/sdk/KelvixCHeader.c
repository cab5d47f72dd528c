/* The C interface's header compiled as C: every function called with C types. */
#include "kelvix/kelvix_c.h"

#include <stddef.h>

int kelvix_c_header_probe(void);

int kelvix_c_header_probe(void) {
    int w = -1;
    int h = -1;
    unsigned short thermal[4] = {0};
    unsigned char rgb[12] = {0};
    int failures = 0;
    failures += zol_kelvix_get_thermal_image_size(&w, &h) == -1;
    failures += zol_kelvix_get_palette_image_size(&w, &h) == -1;
    failures += zol_kelvix_get_thermal_image(&w, &h, thermal) == -1;
    failures += zol_kelvix_get_palette_image(&w, &h, rgb) == -1;
    failures += zol_kelvix_get_thermal_palette_image(2, 2, thermal, 4, 1, rgb) == -1;
    failures += zol_kelvix_set_palette(1) == -1;
    failures += zol_kelvix_set_palette_scale(2) == -1;
    failures += zol_kelvix_set_shutter_mode(1) == -1;
    failures += zol_kelvix_trigger_shutter_flag() == -1;
    failures += zol_kelvix_set_temperature_range(-20, 100) == -1;
    failures += zol_kelvix_set_radiation_parameters(1.0f, 1.0f, 20.0f) == -1;
    failures += zol_kelvix_terminate() == -1;
    failures += zol_kelvix_daemon_launch() == -1;
    failures += zol_kelvix_daemon_is_running() == -1;
    failures += zol_kelvix_to_palette_save_png(NULL, 0, 0, NULL, 6, 2) == -1;
    return failures;
}
